// Work that needs nothing of the caller's own meanwhile, run beside it where a core is free.
#pragma once

#include <functional>
#include <thread>

namespace tarv {

// Starts the task on a thread of its own where the calling thread may use two cores or more and
// a thread can be had; otherwise it waits for `finish`. The task must not throw (it keeps its
// own error). The thread is joined before the object goes, whatever ends the caller's scope.
class BesideTask {
 public:
  explicit BesideTask(std::function<void()> task);
  ~BesideTask();
  BesideTask(const BesideTask&) = delete;
  BesideTask& operator=(const BesideTask&) = delete;

  // Waits for the started task; a task that had no thread runs here, on the calling thread,
  // where runHere asks for it (the serial order), and stays unrun otherwise. A task runs once.
  void finish(bool runHere = true);

 private:
  std::function<void()> task_;
  std::thread thread_;
  bool waiting_ = true;  // neither started on its thread nor run here
};

}  // namespace tarv
