#pragma once
// A property of a fuzz target: names what broke before stopping, so a
// finding says which property failed.

#include <cstdio>
#include <cstdlib>

#define Check(ok)                                         \
  do {                                                    \
    if (!(ok)) {                                          \
      std::fprintf(stderr, "property broken: %s\n", #ok); \
      std::abort();                                       \
    }                                                     \
  } while (false)
