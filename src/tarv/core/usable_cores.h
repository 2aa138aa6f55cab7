// How many cores the library's own threads can run on at once.
#pragma once

namespace tarv {

// The cores the calling thread may run on: its affinity mask where the system gives one (a
// host, a container or `taskset` may allow fewer than the machine has), otherwise the
// machine's count; at least 1.
int usableCores() noexcept;

}  // namespace tarv
