// How deeply a request text nests, measured on the raw text before it is parsed: copying,
// comparing or writing a parsed JSON value recurses once per level, so a request nested
// hundreds of thousands of levels deep would end the host process at the first copy.
#pragma once

#include <cstddef>

namespace tarv {

// The deepest nesting that a request may have: a configuration of objects and 3x3 matrices
// needs fewer than ten levels.
constexpr int kMaxRequestDepth = 64;

// Whether the brackets ('[' and '{') of the text, counted outside strings, ever nest deeper
// than the limit. Runs in one pass without recursion; a text that is no valid JSON is left
// to the parser to judge.
bool nestedDeeperThan(const char* text, int limit);

}  // namespace tarv
