// Looking up the library's exports after dlopen.
#pragma once

#include <dlfcn.h>

#include <cstdio>

// target = the symbol name of handle; says on stderr when it is missing.
template <typename F>
bool bindSymbol(void* handle, const char* name, F& target) {
  target = reinterpret_cast<F>(dlsym(handle, name));
  if (target == nullptr) std::fprintf(stderr, "tarv_demo: %s missing: %s\n", name, dlerror());
  return target != nullptr;
}
