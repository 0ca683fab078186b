// sum_as_string(a, b): the decimal text of a + b.
//
// Both arguments are unsigned 64-bit integers; their sum is formed in 128
// bits, so it is exact (wrapping modulo 2^64 would report a wrong sum as
// success).
#include <Python.h>

#include <cstdint>
#include <string>

#include "python_module/args.hpp"
#include "python_module/convert.hpp"
#include "python_module/errors.hpp"
#include "python_module/registry.hpp"

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

PyRef sum_as_string_impl(std::uint64_t a, std::uint64_t b) { return from_text(decimal_sum(a, b)); }

constexpr const char* kNames[] = {"a", "b"};
constexpr Signature kSignature{"sum_as_string()", kNames, 2, 2};

PyObject* py_sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<2>(kSignature, args, nargs, kwnames);
        const std::uint64_t lhs = to_u64(a[0], "a");
        const std::uint64_t rhs = to_u64(a[1], "b");
        return sum_as_string_impl(lhs, rhs);
    });
}

PyMethodDef g_def = {"sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_sum_as_string)),
                     METH_FASTCALL | METH_KEYWORDS, "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

}  // namespace

void register_sum_as_string(PyObject* module) { register_function(module, &g_def); }

}  // namespace tavik::py
