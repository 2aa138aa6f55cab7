// The demo's main job: the runtime of the loaded library on three rendered camera videos.
#pragma once

#include <string>

// Renders a game of two rounds into folder, runs the runtime on it through the C interface,
// prints every throw and writes each throw's board view (the three cameras seen from the
// front, the scored tip marked) beside the videos. Exit status as the demo's.
int runRuntimeDemo(void* library, const std::string& folder, bool printReplies);
