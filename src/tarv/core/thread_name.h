// Names the calling thread for debuggers and process listings.
#pragma once

#include <string>

namespace tarv {

// The first 15 characters of the name (the longest name the system keeps); failures are
// ignored.
void setThreadName(const std::string& name) noexcept;

}  // namespace tarv
