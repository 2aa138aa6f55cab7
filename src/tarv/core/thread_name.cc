#include "tarv/core/thread_name.h"

#include <pthread.h>

namespace tarv {

void setThreadName(const std::string& name) noexcept {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace tarv
