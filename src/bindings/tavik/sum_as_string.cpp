// sum_as_string(a, b): the decimal text of a + b.
//
// Both arguments are unsigned 64-bit integers; their sum is formed in 128
// bits, so it is exact (wrapping modulo 2^64 would report a wrong sum as
// success).
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "bindings/tavik/arguments.hpp"
#include "bindings/tavik/entry.hpp"
#include "bindings/tavik/results.hpp"

namespace tavik::py {

namespace {

std::string decimal_sum(std::uint64_t a, std::uint64_t b) {
    unsigned __int128 sum = static_cast<unsigned __int128>(a) + b;
    char digits[40];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(sum % 10));
        sum /= 10;
    } while (sum != 0);
    return std::string(std::make_reverse_iterator(digits + n), std::make_reverse_iterator(digits));
}

constexpr auto kSumAsString =
    function_signature("sum_as_string", {{"a"}, {"b"}}, "Formats the sum of two numbers as string.");

PyRef sum_as_string(const BoundArgs<2>& bound) {
    const auto& [a, b] = bound;
    const std::uint64_t lhs = to_u64(a);
    const std::uint64_t rhs = to_u64(b);
    return from_text(decimal_sum(lhs, rhs));
}

PyMethodDef g_def = function_def<kSumAsString, sum_as_string>();

}  // namespace

void register_sum_as_string(PyObject* module) { register_function(module, &g_def); }

}  // namespace tavik::py
