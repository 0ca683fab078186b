// The scalar arithmetic of the dG marcher, shared by its substitutions and
// its loop, so that real and complex shifts are one template.
#pragma once

#include <complex>

namespace tavik::march_arithmetic {

using complex = std::complex<double>;

// Products written out: std::complex's operator* calls a library routine
// for the infinite cases on every product.
inline complex mul(complex a, complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
inline complex mul(complex a, double b) { return {a.real() * b, a.imag() * b}; }
inline double mul(double a, double b) { return a * b; }
inline double real_part(double a) { return a; }
inline double real_part(complex a) { return a.real(); }

}  // namespace tavik::march_arithmetic
