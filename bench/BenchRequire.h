// The check a benchmark program makes of what it measures: a failed one ends the program with its reason,
// since numbers after it would mean nothing.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vellumar::bench {

inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "failed: %s\n", what);
        std::exit(1);
    }
}

}
