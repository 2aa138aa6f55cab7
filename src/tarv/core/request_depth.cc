#include "tarv/core/request_depth.h"

namespace tarv {

bool nestedDeeperThan(const char* text, int limit) {
  if (text == nullptr) return false;
  int depth = 0;
  bool inString = false;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (inString) {
      if (c == '\\') {
        if (p[1] == '\0') break;
        ++p;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace tarv
