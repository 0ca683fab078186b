// Conversions of bound arguments into core values.
//
// Every argument is copied into a core type; no reference to an argument is
// kept beyond the call. A conversion failure whose exception is exactly
// TypeError is re-raised as TypeError("argument '{name}': {message}") with the
// original cause; other exception types (OverflowError, errors raised by
// user code) pass through unchanged, since they name no parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "bindings/tavik/bind.hpp"

namespace tavik::py {

// int (and subclasses, bool included) or anything with __index__, as an
// unsigned 64-bit value; negative or >= 2^64 raise the interpreter's OverflowError.
std::uint64_t to_u64(Arg arg);

// float read directly; anything else through the interpreter's float
// conversion (__float__, __index__, int).
double to_double(Arg arg);

// Exactly True or False, or a numpy boolean scalar through its truth value.
bool to_flag(Arg arg);

// Any sequence except str, iterated, every element through to_double. Its
// length is only a capacity hint, capped so a lying __len__ cannot force a
// large allocation.
std::vector<double> to_double_list(Arg arg);

}  // namespace tavik::py
