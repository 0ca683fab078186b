#include "operators/dg_marching.hpp"

#include <atomic>
#include <barrier>
#include <memory>
#include <system_error>
#include <thread>
#include <type_traits>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

namespace {

using complex = std::complex<double>;

void require(bool condition, const char* message) {
    if (!condition) fatal(message);
}

// Products written out: std::complex's operator* calls a library routine
// for the infinite cases on every product.
inline complex mul(complex a, complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
inline complex mul(complex a, double b) { return {a.real() * b, a.imag() * b}; }
inline double mul(double a, double b) { return a * b; }
inline double real_part(double a) { return a; }
inline double real_part(complex a) { return a.real(); }

template <class T>
std::vector<T> copied(std::span<const T> values) {
    return std::vector<T>(values.begin(), values.end());
}

// Row j's entries lie in [rows[j], rows[j + 1]), the diagonal first (upper)
// or last (lower), the other columns on the diagonal's side within 0 .. n-1.
void check_triangular(const std::vector<std::int64_t>& rows, const std::vector<std::int32_t>& columns,
                      std::size_t n, bool lower) {
    require(rows.size() == n + 1 && rows[0] == 0 && static_cast<std::size_t>(rows[n]) == columns.size(),
            messages::kFactorRows);
    for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t a = rows[j], b = rows[j + 1];
        require(a < b && b <= rows[n], messages::kFactorNoDiagonal);
        for (std::int64_t p = a; p < b; ++p) {
            const std::int32_t i = columns[p];
            const bool diagonal = lower ? p == b - 1 : p == a;
            require(diagonal ? i == static_cast<std::int32_t>(j)
                             : (lower ? i >= 0 && i < static_cast<std::int32_t>(j)
                                      : i > static_cast<std::int32_t>(j) && static_cast<std::size_t>(i) < n),
                    messages::kFactorNotTriangular);
        }
    }
}

void check_permutation(const std::vector<std::int32_t>& perm, std::size_t n) {
    require(perm.size() == n, messages::kFactorPermutationSize);
    std::vector<char> seen(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t v = perm[i];
        require(v >= 0 && static_cast<std::size_t>(v) < n && !seen[v], messages::kFactorNotPermutation);
        seen[v] = 1;
    }
}

// Row i of a triangular substitution, by gathering: z[i] = d (z[i] - the
// entries [first, last) times z at their columns), each column k summed in
// registers, two partial sums to shorten the chain of additions.
template <class S>
inline void substitute_row(S* z, std::size_t m, std::size_t i, const std::int32_t* columns, const S* values,
                           std::int64_t first, std::int64_t last, S d) {
    for (std::size_t k = 0; k < m; ++k) {
        S even{}, odd{};
        std::int64_t p = first;
        for (; p + 1 < last; p += 2) {
            even += mul(values[p], z[static_cast<std::size_t>(columns[p]) * m + k]);
            odd += mul(values[p + 1], z[static_cast<std::size_t>(columns[p + 1]) * m + k]);
        }
        if (p < last) even += mul(values[p], z[static_cast<std::size_t>(columns[p]) * m + k]);
        z[i * m + k] = mul(d, z[i * m + k] - (even + odd));
    }
}

// One shift of the loop with its scratch, so that a step allocates nothing.
class Shift {
public:
    virtual ~Shift() = default;
    // Interval t: rhs = work[t] + coupling * Mu, solved in place of work[t];
    // part = the real part of ends * solution.
    virtual void step(std::size_t t, const double* Mu, double* part) = 0;
};

template <class S>
class ShiftOf final : public Shift {
public:
    ShiftOf(const MarchShift<S>& shift, std::size_t n, std::size_t m)
        : shift_(shift), n_(n), m_(m), z_(n * m) {}

    void step(std::size_t t, const double* Mu, double* part) override {
        const std::size_t n = n_, m = m_;
        const TriangularFactors<S>& f = *shift_.factors;
        S* rhs = shift_.work.data() + t * n * m;
        S* z = z_.data();
        for (std::size_t i = 0; i < n; ++i) {
            S* target = z + static_cast<std::size_t>(f.in_row(i)) * m;
            for (std::size_t k = 0; k < m; ++k) target[k] = rhs[i * m + k] + mul(shift_.coupling, Mu[i * m + k]);
        }
        f.solve(z, m);
        for (std::size_t i = 0; i < n; ++i) {
            const S* source = z + static_cast<std::size_t>(f.out_row(i)) * m;
            for (std::size_t k = 0; k < m; ++k) {
                rhs[i * m + k] = source[k];
                part[i * m + k] = real_part(mul(shift_.ends, source[k]));
            }
        }
    }

private:
    MarchShift<S> shift_;
    std::size_t n_, m_;
    std::vector<S> z_;
};

template <class S>
void add_shifts(std::vector<std::unique_ptr<Shift>>& shifts, std::span<const MarchShift<S>> given, std::size_t n,
                std::size_t m, std::size_t count) {
    for (const MarchShift<S>& shift : given) {
        require(shift.factors != nullptr && shift.factors->size() == n, messages::kFactorOtherSize);
        require(shift.work.size() == checked_mul(count, n * m), messages::kMarchWorkShape);
        shifts.push_back(std::make_unique<ShiftOf<S>>(shift, n, m));
    }
}

}  // namespace

template <class S>
TriangularFactors<S>::TriangularFactors(std::span<const std::int64_t> lower_rows,
                                        std::span<const std::int32_t> lower_columns, std::span<const S> lower_values,
                                        std::span<const std::int64_t> upper_rows,
                                        std::span<const std::int32_t> upper_columns, std::span<const S> upper_values,
                                        std::span<const S> lower_inverse, std::span<const S> upper_inverse,
                                        std::span<const std::int32_t> in_perm, std::span<const std::int32_t> out_perm)
    : n_(lower_inverse.size()), lower_rows_(copied(lower_rows)), upper_rows_(copied(upper_rows)),
      lower_columns_(copied(lower_columns)), upper_columns_(copied(upper_columns)), in_perm_(copied(in_perm)),
      out_perm_(copied(out_perm)), lower_values_(lower_values), upper_values_(upper_values),
      lower_inverse_(lower_inverse), upper_inverse_(upper_inverse) {
    require(lower_columns_.size() == lower_values_.size() && upper_columns_.size() == upper_values_.size() &&
                upper_inverse_.size() == n_,
            messages::kFactorSizes);
    check_triangular(lower_rows_, lower_columns_, n_, true);
    check_triangular(upper_rows_, upper_columns_, n_, false);
    check_permutation(in_perm_, n_);
    check_permutation(out_perm_, n_);
}

template <class S>
void TriangularFactors<S>::solve(S* z, std::size_t m) const {
    const std::int64_t* Lp = lower_rows_.data();
    const std::int64_t* Up = upper_rows_.data();
    // Lo: the diagonal last in each row, applied as its inverse.
    for (std::size_t i = 0; i < n_; ++i) {
        substitute_row(z, m, i, lower_columns_.data(), lower_values_.data(), Lp[i], Lp[i + 1] - 1, lower_inverse_[i]);
    }
    // Up: the diagonal first in each row, rows from the last.
    for (std::size_t i = n_; i-- > 0;) {
        substitute_row(z, m, i, upper_columns_.data(), upper_values_.data(), Up[i] + 1, Up[i + 1], upper_inverse_[i]);
    }
}

template class TriangularFactors<double>;
template class TriangularFactors<complex>;

MarchMatrix::MarchMatrix(std::span<const std::int64_t> rows, std::span<const std::int32_t> columns,
                         std::span<const double> values)
    : rows_(copied(rows)), columns_(copied(columns)), values_(values) {
    require(!rows_.empty() && rows_[0] == 0 && rows_.back() >= 0 &&
                static_cast<std::size_t>(rows_.back()) == columns_.size() && columns_.size() == values_.size(),
            messages::kMarchRows);
    const std::size_t n = rows_.size() - 1;
    for (std::size_t r = 0; r < n; ++r) require(rows_[r] <= rows_[r + 1], messages::kMarchRowsDecrease);
    for (const std::int32_t column : columns_) {
        require(column >= 0 && static_cast<std::size_t>(column) < n, messages::kMarchColumn);
    }
}

void MarchMatrix::multiply(const double* x, double* out, std::size_t m) const {
    const std::size_t n = size();
    for (std::size_t r = 0; r < n; ++r) {
        double* row = out + r * m;
        for (std::size_t k = 0; k < m; ++k) row[k] = 0.0;
        for (std::int64_t p = rows_[r]; p < rows_[r + 1]; ++p) {
            const double* source = x + static_cast<std::size_t>(columns_[p]) * m;
            for (std::size_t k = 0; k < m; ++k) row[k] += values_[p] * source[k];
        }
    }
}

void march_decoupled(const MarchMatrix& M, std::span<const MarchShift<double>> real_shifts,
                     std::span<const MarchShift<complex>> complex_shifts, std::span<double> end, std::size_t rows,
                     std::size_t m, std::size_t count, bool concurrent) {
    const std::size_t n = rows;
    const std::size_t block = checked_mul(n, m);
    require(n == M.size() && end.size() == block, messages::kMarchRows);
    std::vector<std::unique_ptr<Shift>> shifts;
    add_shifts(shifts, real_shifts, n, m, count);
    add_shifts(shifts, complex_shifts, n, m, count);
    const std::size_t s = shifts.size();
    require(s >= 1, messages::kMarchNoShifts);
    if (block == 0) return;  // nothing to march: no thread need wait count times for nothing
    std::vector<double> Mu(block), parts(s * block);
    double* e = end.data();

    auto gather = [&] {
        for (std::size_t i = 0; i < block; ++i) {
            double sum = parts[i];
            for (std::size_t j = 1; j < s; ++j) sum += parts[j * block + i];
            e[i] = sum;
        }
    };
    auto run_in_turn = [&] {
        for (std::size_t t = 0; t < count; ++t) {
            M.multiply(e, Mu.data(), m);
            for (std::size_t j = 0; j < s; ++j) shifts[j]->step(t, Mu.data(), parts.data() + j * block);
            gather();
        }
    };
    if (!concurrent || s == 1) {
        run_in_turn();
        return;
    }
    // Two phases per interval: M u_prev is ready; every part is written.
    // Workers wait at a gate until all of them exist: if one cannot be
    // started, the others leave without touching the barrier and the loop
    // runs in turn.
    std::barrier sync(static_cast<std::ptrdiff_t>(s));
    std::atomic<int> gate{0};  // 0 waiting, 1 go, -1 leave
    std::vector<std::jthread> workers;
    workers.reserve(s - 1);
    try {
        for (std::size_t j = 1; j < s; ++j) {
            workers.emplace_back([&, j] {
                gate.wait(0);
                if (gate.load() < 0) return;
                for (std::size_t t = 0; t < count; ++t) {
                    sync.arrive_and_wait();
                    shifts[j]->step(t, Mu.data(), parts.data() + j * block);
                    sync.arrive_and_wait();
                }
            });
        }
    } catch (const std::system_error&) {
        gate.store(-1);
        gate.notify_all();
        workers.clear();  // joins the ones that started
        run_in_turn();
        return;
    }
    gate.store(1);
    gate.notify_all();
    for (std::size_t t = 0; t < count; ++t) {
        M.multiply(e, Mu.data(), m);
        sync.arrive_and_wait();
        shifts[0]->step(t, Mu.data(), parts.data());
        sync.arrive_and_wait();
        gather();
    }
}

}  // namespace tavik
