// The one failure type of the numerical core.
//
// Core operations return no error values: a violated precondition throws a
// FatalError carrying the exact text the user will see. The Python layer
// catches it once per entry point and raises PanicException with that text,
// so a broken precondition never terminates the interpreter.
#pragma once

#include <stdexcept>
#include <string>

namespace tavik {

class FatalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Out of line and cold so that checks on hot paths stay a compare and a branch.
[[noreturn, gnu::cold, gnu::noinline]] void fatal(const char* message);
[[noreturn, gnu::cold, gnu::noinline]] void fatal(std::string message);

}  // namespace tavik
