// The consistency check used throughout: a broken internal precondition is reported on standard
// error with the source location and the expression text, and the program stops.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace Brim {

[[noreturn]] inline void CheckFailed(const char* file, unsigned line, const char* expression) {
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", file, line, expression);
    std::fflush(stderr);
    std::abort();
}

}  // namespace Brim

// Unlike assert(), it stays in every build: the conditions it guards are never expected to fail,
// and carrying on past one could write garbage to the device's flash.
#define BRIM_CHECK(expression) \
    ((expression) ? static_cast<void>(0) : ::Brim::CheckFailed(__FILE__, __LINE__, #expression))
