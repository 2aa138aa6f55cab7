// The order of evidence folder names: part by part between hyphens, numbers by value.
#pragma once

#include <filesystem>
#include <string>

namespace tarv {

// The text without its leading '0' characters; "" and all-zero texts become "0".
std::string stripLeadingZeros(const std::string& text);

// True when a orders before b: the texts are compared part by part between '-'; equal parts
// go on, others order by the length and then the bytes of their zero-stripped forms, so
// "tarv-999-1-1" comes before "tarv-1000-1-1". When either text runs out of parts the whole
// texts decide byte by byte.
bool compareNaturalOrder(const std::string& a, const std::string& b);

// compareNaturalOrder of the two paths' file names.
bool lessByFolderName(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace tarv
