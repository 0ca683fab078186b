#include "fatal_error.hpp"

#include <utility>

namespace tavik {

void fatal(const char* message) { throw FatalError(message); }

void fatal(std::string message) { throw FatalError(std::move(message)); }

}  // namespace tavik
