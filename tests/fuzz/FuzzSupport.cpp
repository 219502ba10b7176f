#include "tests/fuzz/FuzzSupport.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void Violation(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
