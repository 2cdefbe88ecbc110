// What a fuzz target does when a property fails: stop, so libFuzzer keeps
// the input.
#pragma once

#include <cstdlib>

inline void check(bool condition) {
  if (!condition)
    std::abort();
}
