#include "operators/dg_marcher.hpp"

#include <type_traits>
#include <utility>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "operators/march_arithmetic.hpp"
#include "parallel/worker_pool.hpp"

namespace tavik {

namespace {

using complex = std::complex<double>;
using march_arithmetic::mul;
using march_arithmetic::real_part;

void require(bool condition, const char* message) {
    if (!condition) fatal(message);
}

// One shift of a march with its scratch, so that a step allocates nothing.
class ShiftLoop {
public:
    virtual ~ShiftLoop() = default;
    // Interval t with the shift's factors of t's class: rhs = work[t] +
    // coupling * Mu, solved in place of work[t]; part = Re(ends * solution).
    virtual void step(std::size_t t, const MarchShift& shift, const double* Mu, double* part) = 0;
};

template <class S>
class ShiftLoopOf final : public ShiftLoop {
public:
    ShiftLoopOf(std::span<S> work, std::size_t n, std::size_t m) : work_(work), n_(n), m_(m), z_(n * m) {}

    void step(std::size_t t, const MarchShift& shift, const double* Mu, double* part) override {
        const std::size_t n = n_, m = m_;
        const TriangularFactors<S>* factors;
        S coupling, ends;
        if constexpr (std::is_same_v<S, double>) {
            factors = shift.factors.real.get();
            coupling = shift.coupling.real();
            ends = shift.ends.real();
        } else {
            factors = shift.factors.complex.get();
            coupling = shift.coupling;
            ends = shift.ends;
        }
        const TriangularFactors<S>& f = *factors;
        S* rhs = work_.data() + t * n * m;
        S* z = z_.data();
        for (std::size_t i = 0; i < n; ++i) {
            S* target = z + static_cast<std::size_t>(f.in_row(i)) * m;
            for (std::size_t k = 0; k < m; ++k) target[k] = rhs[i * m + k] + mul(coupling, Mu[i * m + k]);
        }
        f.solve(z, m);
        for (std::size_t i = 0; i < n; ++i) {
            const S* source = z + static_cast<std::size_t>(f.out_row(i)) * m;
            for (std::size_t k = 0; k < m; ++k) {
                rhs[i * m + k] = source[k];
                part[i * m + k] = real_part(mul(ends, source[k]));
            }
        }
    }

private:
    std::span<S> work_;
    std::size_t n_, m_;
    std::vector<S> z_;
};

}  // namespace

DGMarcher::DGMarcher(MarchMatrix M) : M_(std::move(M)) {}

void DGMarcher::set_class(std::int64_t slot, std::span<const MarchFactors> factors, std::span<const complex> coupling,
                          std::span<const complex> ends) {
    require(slot >= 0 && slot <= kMaxSlot, messages::kMarchSlot);
    require(coupling.size() == factors.size() && ends.size() == factors.size(), messages::kMarchShiftLists);
    require(!factors.empty(), messages::kMarchNoShifts);
    auto set = std::make_shared<ShiftSet>();
    set->reserve(factors.size());
    for (std::size_t j = 0; j < factors.size(); ++j) {
        const MarchFactors& f = factors[j];
        const std::size_t size = f.complex ? f.complex->size() : f.real ? f.real->size() : 0;
        require((f.real == nullptr) != (f.complex == nullptr) && size == M_.size(), messages::kFactorOtherSize);
        set->push_back({f, coupling[j], ends[j]});
    }
    std::shared_ptr<const ShiftSet> replaced;  // freed after the lock is released
    const std::lock_guard lock(mutex_);
    auto& held = table_[slot];
    replaced = std::exchange(held, std::shared_ptr<const ShiftSet>(std::move(set)));
}

void DGMarcher::drop_class(std::int64_t slot) {
    std::shared_ptr<const ShiftSet> dropped;
    const std::lock_guard lock(mutex_);
    const auto found = table_.find(slot);
    if (found == table_.end()) return;
    dropped = std::move(found->second);
    table_.erase(found);
}

std::vector<std::int64_t> DGMarcher::classes() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::int64_t> slots;
    slots.reserve(table_.size());
    for (const auto& entry : table_) slots.push_back(entry.first);
    return slots;
}

namespace {

// What a march reads, checked: the factor set of each interval, with the
// references that keep every set used alive for the march.
struct MarchPlan {
    std::vector<std::shared_ptr<const std::vector<MarchShift>>> held;
    std::vector<const std::vector<MarchShift>*> of_interval;
};

// Every check of a march's arguments against the table, in one place: end
// holds N m values; every interval's class is held; every class used has
// the shifts of `work` (number and kinds, in order); every work holds
// count N m values of its kind. Looks the classes up under the table's lock.
template <class Table>
MarchPlan check_march(const Table& table, std::mutex& mutex, std::span<const std::int32_t> classes,
                      std::span<const MarchWork> work, std::size_t end_size, std::size_t n, std::size_t m) {
    const std::size_t block = checked_mul(n, m);
    require(end_size == block, messages::kMarchEndShape);
    const std::size_t count = classes.size();
    MarchPlan plan;
    plan.of_interval.reserve(count);
    {
        const std::lock_guard lock(mutex);
        std::int32_t last = -1;
        for (const std::int32_t slot : classes) {
            if (slot != last || plan.held.empty()) {
                const auto found = table.find(slot);
                require(found != table.end(), messages::kMarchClassNotHeld);
                if (plan.held.empty() || plan.held.back() != found->second) plan.held.push_back(found->second);
                last = slot;
            }
            plan.of_interval.push_back(plan.held.back().get());
        }
    }
    for (const auto& set : plan.held) {
        require(set->size() == work.size(), messages::kMarchWorkShifts);
        for (std::size_t j = 0; j < work.size(); ++j) {
            require((*set)[j].factors.is_complex() == work[j].is_complex, messages::kMarchWorkShifts);
        }
    }
    const std::size_t values = checked_mul(count, block);
    for (const MarchWork& w : work) {
        require(w.rows == count && (w.is_complex ? w.complex.size() : w.real.size()) == values,
                messages::kMarchWorkShape);
    }
    return plan;
}

}  // namespace

void DGMarcher::march(std::span<const std::int32_t> classes, std::span<const MarchWork> work, std::span<double> end,
                      std::size_t m, bool threads) const {
    const std::size_t n = M_.size();
    const MarchPlan plan = check_march(table_, mutex_, classes, work, end.size(), n, m);
    const std::size_t count = classes.size(), block = n * m, s = work.size();
    if (count == 0 || block == 0) return;

    std::vector<std::unique_ptr<ShiftLoop>> loops;
    loops.reserve(s);
    for (const MarchWork& w : work) {
        if (w.is_complex) {
            loops.push_back(std::make_unique<ShiftLoopOf<complex>>(w.complex, n, m));
        } else {
            loops.push_back(std::make_unique<ShiftLoopOf<double>>(w.real, n, m));
        }
    }
    std::vector<double> Mu(block), parts(checked_array_length<double>(checked_mul(s, block)));
    double* e = end.data();
    const bool pooled = threads && s > 1;
    for (std::size_t t = 0; t < count; ++t) {
        const std::vector<MarchShift>& set = *plan.of_interval[t];
        M_.multiply(e, Mu.data(), m);
        auto run = [&](std::size_t first, std::size_t last) {
            for (std::size_t j = first; j < last; ++j) loops[j]->step(t, set[j], Mu.data(), parts.data() + j * block);
        };
        if (pooled) {
            // One shift per chunk; a pool without workers leaves them all to
            // this thread. The chunks neither throw nor allocate.
            PoolBatch batch(s, run, 0, 1);
            batch.wait();
        } else {
            run(0, s);
        }
        for (std::size_t i = 0; i < block; ++i) {
            double sum = parts[i];
            for (std::size_t j = 1; j < s; ++j) sum += parts[j * block + i];
            e[i] = sum;
        }
    }
}

}  // namespace tavik
