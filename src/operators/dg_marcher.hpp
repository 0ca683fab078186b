// The interval loop of the decoupled dG(q) stepper, as an object that
// keeps what every march of one problem shares.
//
// The stepper factorises each shifted system B_j = lambda_j M + A of a step
// class once (operators/triangular_factors.hpp) and hands the factor set of
// that class to the marcher under a slot number of its choosing. A march
// then takes a block of intervals, each with its step class, and per
// interval forms M u_prev, solves every shift with its class's factors
// (the shifts of one interval on the runtime's pool when asked: they are
// independent) and sums the end value in a fixed order, so the bits depend
// neither on the threads nor on how the intervals are split into blocks.
//
// Ownership: M is copied; factor sets are held through shared pointers, and
// a march takes its own references to the sets it uses before it starts, so
// replacing or dropping a slot meanwhile (from another thread) frees nothing
// the loop reads. The table is guarded by a mutex of its own.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "operators/triangular_factors.hpp"

namespace tavik {

// The factors of one shift of a step class: exactly one of the two set.
struct MarchFactors {
    std::shared_ptr<const TriangularFactors<double>> real;
    std::shared_ptr<const TriangularFactors<std::complex<double>>> complex;

    bool is_complex() const { return complex != nullptr; }
};

// One shift of a step class: its factors, the scalar `coupling` (times
// M u_prev into its right-hand side) and `ends` (the weight of its solution
// in the end value, real part taken). For a real shift only the real parts
// of coupling and ends are used.
struct MarchShift {
    MarchFactors factors;
    std::complex<double> coupling;
    std::complex<double> ends;
};

// One shift's work of a march: `rows` (= count) rows of N m values in C
// order, in `real` for a real shift, in `complex` for a complex one
// (`is_complex` says which kind the caller passes; the other is unused).
struct MarchWork {
    std::span<double> real;
    std::span<std::complex<double>> complex;
    std::size_t rows;
    bool is_complex;
};

class DGMarcher {
public:
    // Step class slots lie in 0 .. kMaxSlot (the march names them as int32).
    static constexpr std::int64_t kMaxSlot = INT32_MAX;

    explicit DGMarcher(MarchMatrix M);

    std::size_t size() const { return M_.size(); }

    // Stores the factor set of step class `slot`, replacing any held there:
    // shift j = (factors[j], coupling[j], ends[j]). Throws FatalError
    // (kMarchSlot, kMarchShiftLists, kMarchNoShifts, kFactorOtherSize) before
    // changing anything unless 0 <= slot <= kMaxSlot, the three lists agree
    // in length, there is at least one shift, and every factor has M's size
    // with exactly one of its two kinds set. Cost O(shifts + log classes).
    void set_class(std::int64_t slot, std::span<const MarchFactors> factors,
                   std::span<const std::complex<double>> coupling, std::span<const std::complex<double>> ends);

    // Frees the set of `slot` (once no march uses it); nothing if none is held.
    void drop_class(std::int64_t slot);

    // The slots held, increasing.
    std::vector<std::int64_t> classes() const;

    // Marches count = classes.size() intervals. end (N, m) in C order: in,
    // the end value before the block; out, after it. work[j] row t holds
    // shift j's transformed load of interval t on entry, its solution on
    // return. Per interval t of class c: Mu = M end; every shift j solves
    // work_j[t] + coupling_cj Mu with factors_cj in place of work_j[t]; then
    // end = sum_j Re(ends_cj w_j) in shift order. With `threads` and more than
    // one shift, an interval's shifts run on the runtime's pool (the caller
    // among them; the caller alone where the pool has no workers). Checks
    // everything first (check_march) and throws FatalError before any work;
    // allocates before the loop, which neither allocates nor throws. The
    // caller keeps the arrays alive and apart for the call. Cost: count times
    // (entries of M + of the factors) times m.
    void march(std::span<const std::int32_t> classes, std::span<const MarchWork> work, std::span<double> end,
               std::size_t m, bool threads) const;

private:
    using ShiftSet = std::vector<MarchShift>;

    MarchMatrix M_;
    mutable std::mutex mutex_;  // guards table_
    std::map<std::int64_t, std::shared_ptr<const ShiftSet>> table_;
};

}  // namespace tavik
