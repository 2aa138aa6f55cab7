#include "tarv/core/beside_task.h"

#include <system_error>
#include <utility>

#include "tarv/core/usable_cores.h"

namespace tarv {

BesideTask::BesideTask(std::function<void()> task) : task_(std::move(task)) {
  try {
    if (usableCores() >= 2) {
      thread_ = std::thread(task_);
      waiting_ = false;
    }
  } catch (const std::system_error&) {
    // No thread to be had: the task follows the caller's work.
  }
}

BesideTask::~BesideTask() {
  if (thread_.joinable()) thread_.join();
}

void BesideTask::finish(bool runHere) {
  if (thread_.joinable()) {
    thread_.join();
  } else if (waiting_ && runHere) {
    waiting_ = false;
    task_();
  }
}

}  // namespace tarv
