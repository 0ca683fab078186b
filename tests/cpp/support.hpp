// Helpers shared by the C++ tests (and, for the comparison of doubles, by the
// fuzz targets).
#pragma once

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fatal_error.hpp"
#include "messages.hpp"
#include "bases/legendre_basis.hpp"
#include "bases/legendre_field.hpp"
#include "kernels/kernels.hpp"
#include "formulas/uniform_mesh.hpp"
#include "sparse/sparse_matrix.hpp"

// Defined when AddressSanitizer instruments this build: it aborts on a failed
// operator new instead of throwing, and LeakSanitizer reports what a forked
// child leaves behind, so a few tests skip those paths.
#if defined(__SANITIZE_ADDRESS__)
#define TAVIK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVIK_SANITIZED 1
#endif
#endif

namespace tavik::test {

namespace messages = ::tavik::messages;

using D = std::vector<double>;
using U = std::vector<std::uint64_t>;
inline constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The array interface's space with the mesh of a LegendreBasis.
inline FieldSpace space_of(const LegendreBasis& basis) { return {basis.degree(), basis.n_t(), basis.T()}; }

// The one rule by which tests compare doubles: equal bit patterns (so -0.0
// differs from 0.0), except that any NaN matches any NaN -- the sign and
// payload of a NaN computed from NaN operands depend on operand order, which
// IEEE 754 leaves open.
inline bool same(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Runs f(name) once per instruction set of the vector kernels (batch and
// field alike) that this processor supports, each forced in turn, then
// returns to the processor's choice. Free of gtest, for the fuzz targets
// too; tests put SCOPED_TRACE(name) in f.
template <class F>
void for_each_instruction_set(F&& f) {
    for (const InstructionSet set : kernel_internals::supported_instruction_sets()) {
        kernel_internals::force_instruction_set(set);
        f(name_of(set));
    }
    kernel_internals::force_instruction_set(std::nullopt);
}

// Where the array interface places a time, written out plainly from its
// documented rule (the kernels filter blocks and take a scalar path for a
// few lanes; this takes every time the long way): reduce modulo T when
// periodic, locate as the uniform mesh does, then a time within 4 ulp of
// max(|t|, node) of the nearest node is that node's left or right limit.
struct Located {
    std::uint64_t interval;
    double xi;
    bool at_node;
};

inline Located locate_by_documented_rule(double T, std::uint64_t n_t, double t, bool left, bool periodic) {
    const double h = T / static_cast<double>(n_t);
    double r = t;
    if (periodic && !(t >= 0.0 && t <= T)) {
        r = std::fmod(t, T);
        if (r < 0.0) r += T;
    }
    const MeshLocation plain = locate_in_mesh(h, n_t, r);
    std::uint64_t m = plain.interval;
    if (r / h - static_cast<double>(m) > 0.5) ++m;
    const double node = h * static_cast<double>(m);
    const double scale = std::max(std::fabs(t), node);
    double ulp = 0.0;
    if (std::isinf(scale)) {
        ulp = inf;
    } else if (scale >= std::numeric_limits<double>::min()) {
        ulp = std::ldexp(1.0, std::ilogb(scale) - 52);
    }
    if (!(std::fabs(r - node) <= 4 * ulp)) return {plain.interval, plain.xi, false};
    if (m == 0 && !left) return {0, -1.0, true};
    if (m == 0) return periodic ? Located{n_t - 1, 1.0, true} : Located{0, -1.0, true};
    if (m == n_t && !left) return periodic ? Located{0, -1.0, true} : Located{n_t - 1, 1.0, true};
    if (left) return {m - 1, 1.0, true};
    return {m, -1.0, true};
}

// Where a time lies on a mesh of nodes x_0 < ... < x_n, written out plainly
// from the documented rule: reduce modulo T = x_n when periodic, count the
// inner nodes at or below r (std::upper_bound; NaN counts none), then a time
// within 4 ulp of max(|t|, |node|) of the nearer end is that node's left or
// right limit. `step` is the located interval's x_(c+1) - x_c.
struct LocatedOnNodes {
    std::uint64_t interval;
    double xi;
    double step;
    bool at_node;
};

inline LocatedOnNodes locate_on_nodes_by_documented_rule(const std::vector<double>& x, double t, bool left,
                                                         bool periodic) {
    const std::uint64_t n = x.size() - 1;
    const double T = x.back();
    double r = t;
    if (periodic && !(t >= 0.0 && t <= T)) {
        r = std::fmod(t, T);
        if (r < 0.0) r += T;
    }
    const std::uint64_t c =
        std::isnan(r) ? 0 : static_cast<std::uint64_t>(std::upper_bound(x.begin() + 1, x.end() - 1, r) - x.begin() - 1);
    const double a = x[c], b = x[c + 1];
    const std::uint64_t m = r - a > b - r ? c + 1 : c;
    const double scale = std::max(std::fabs(t), std::fabs(x[m]));
    double ulp = 0.0;
    if (std::isinf(scale)) {
        ulp = inf;
    } else if (scale >= std::numeric_limits<double>::min()) {
        ulp = std::ldexp(1.0, std::ilogb(scale) - 52);
    }
    const auto at = [&](std::uint64_t interval, double xi, bool node) {
        return LocatedOnNodes{interval, xi, x[interval + 1] - x[interval], node};
    };
    if (!(std::fabs(r - x[m]) <= 4 * ulp)) {
        const double u = r + (a + b) * -0.5;
        const double xi = (u + u) / (b - a);
        return at(c, xi < -1.0 ? -1.0 : xi > 1.0 ? 1.0 : xi, false);
    }
    if (m == 0 && !left) return at(0, -1.0, true);
    if (m == 0) return periodic ? at(n - 1, 1.0, true) : at(0, -1.0, true);
    if (m == n && !left) return periodic ? at(0, -1.0, true) : at(n - 1, 1.0, true);
    if (left) return at(m - 1, 1.0, true);
    return at(m, -1.0, true);
}

// Index of the first element where `same` fails (0 on a length mismatch), or -1.
inline long first_mismatch(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return static_cast<long>(i);
    }
    return -1;
}

inline void expect_same(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(same(got[i], want[i])) << "element " << i << ": " << got[i] << " vs " << want[i];
    }
}

// Runs f and checks that it fails with exactly this message.
template <class F>
void expect_fatal(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "expected FatalError \"" << message << "\"";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

using Entry = std::tuple<std::uint64_t, std::uint64_t, double>;

// Builds a CSR matrix by pushing the entries in the given order.
inline CsrMatrix csr_from_entries(std::uint64_t nrows, std::uint64_t ncols, const std::vector<Entry>& entries) {
    CooMatrix coo(nrows, ncols);
    for (const auto& [r, c, v] : entries) coo.push(r, c, v);
    return coo_to_csr(std::move(coo));
}

// Stored entries in row-major storage order.
inline std::vector<Entry> stored_entries(const CsrMatrix& m) {
    std::vector<Entry> out;
    for (std::uint64_t r = 0; r < m.nrows(); ++r) {
        for (std::uint64_t p = m.row_offsets()[r]; p < m.row_offsets()[r + 1]; ++p) {
            out.emplace_back(r, m.col_indices()[p], m.values()[p]);
        }
    }
    return out;
}

// y = M x.
inline std::vector<double> multiply(const CsrMatrix& m, const std::vector<double>& x) {
    std::vector<double> y(m.nrows(), 0.0);
    for (std::uint64_t r = 0; r < m.nrows(); ++r) {
        for (std::uint64_t p = m.row_offsets()[r]; p < m.row_offsets()[r + 1]; ++p) {
            y[r] += m.values()[p] * x[m.col_indices()[p]];
        }
    }
    return y;
}

// ---- child processes

// Waits up to `seconds` for a child; kills it on timeout. Returns its status.
inline int wait_with_timeout(pid_t child, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "child " << child << " hung";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

inline bool exited_ok(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// Runs one test of this binary in a fresh process (optionally pinned to CPU
// `cpu`) and reports whether it passed.
inline bool run_fresh(const std::string& test, int cpu = -1) {
    const pid_t child = fork();
    if (child == 0) {
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(3);
        }
        const std::string filter = "--gtest_filter=" + test;
        execl("/proc/self/exe", "tavik_core_tests", filter.c_str(), "--gtest_also_run_disabled_tests",
              static_cast<char*>(nullptr));
        _exit(4);
    }
    return exited_ok(wait_with_timeout(child, 120));
}

}  // namespace tavik::test
