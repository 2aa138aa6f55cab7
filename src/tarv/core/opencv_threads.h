// OpenCV's thread setting is process-wide: changing it while another thread runs an OpenCV
// function crashes inside OpenCV's thread pool. The library sets it exactly once.
#pragma once

namespace tarv {

// OpenCV runs on the calling thread (the library's own worker threads give the
// parallelism). The first call sets it; every later call, from any thread, only waits until
// that first call has finished. Called at load and at every entry that starts OpenCV work,
// before any of the library's threads can run OpenCV.
void useLibraryOpenCvThreads() noexcept;

}  // namespace tarv
