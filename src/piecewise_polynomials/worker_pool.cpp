#include "piecewise_polynomials/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

namespace tavik {

namespace {

// ---------------------------------------------------------------------------
// Fork detection.
//
// The child handler is registered when this code is loaded, before any batch
// can run, so every later fork() marks the child. The pid comparison also
// catches a child made by a raw clone() that bypassed the fork handlers.

std::atomic<bool> g_forked{false};

void mark_forked_child() noexcept { g_forked.store(true, std::memory_order_relaxed); }

const pid_t g_load_pid = [] {
    pthread_atfork(nullptr, nullptr, mark_forked_child);
    return getpid();
}();

// ---------------------------------------------------------------------------
// The pool.
//
// State changes only untouched -> creating -> ready (or back to untouched if
// creation fails). No mutex: a forked child must never block on a lock that
// a vanished parent thread held, and it never reads this state anyway.

enum PoolState : int { kUntouched = 0, kCreating = 1, kReady = 2 };

std::atomic<int> g_pool_state{kUntouched};
tbb::task_arena* g_arena = nullptr;  // published by the release store of kReady
int g_arena_concurrency = 0;

tbb::task_arena& pool() {
    for (;;) {
        int state = g_pool_state.load(std::memory_order_acquire);
        if (state == kReady) return *g_arena;
        if (state == kUntouched &&
            g_pool_state.compare_exchange_strong(state, kCreating, std::memory_order_acq_rel)) {
            try {
                const std::size_t processors = available_processors();
                const int concurrency = processors > static_cast<std::size_t>(std::numeric_limits<int>::max())
                                            ? std::numeric_limits<int>::max()
                                            : static_cast<int>(processors);
                // One slot is kept for the calling thread, which works while it waits.
                auto* arena = new tbb::task_arena(concurrency, 1);
                arena->initialize();
                g_arena = arena;
                g_arena_concurrency = concurrency;
            } catch (...) {
                g_pool_state.store(kUntouched, std::memory_order_release);
                throw;
            }
            g_pool_state.store(kReady, std::memory_order_release);
            return *g_arena;
        }
        // Another thread is creating the pool; that takes microseconds.
        std::this_thread::yield();
    }
}

void run_on_pool(std::size_t n, ChunkBody body) {
    tbb::task_arena& arena = pool();
    // Captured here, on the calling thread, so that every chunk runs in the
    // caller's floating-point environment whichever thread takes it.
    tbb::task_group_context context(tbb::task_group_context::isolated);
    context.capture_fp_settings();
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, n),
            [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); },
            tbb::auto_partitioner(), context);
    });
}

// Smallest slice worth a thread of its own in a forked child, where each
// batch pays for starting its threads (tens of microseconds each).
constexpr std::size_t kMinTeamSlice = 16384;

// Processor count cached per process: a forked child recounts, since its
// affinity may have been changed after the fork.
std::atomic<pid_t> g_team_pid{0};
std::atomic<std::size_t> g_team_processors{0};

std::size_t team_processors() {
    const pid_t pid = getpid();
    if (g_team_pid.load(std::memory_order_acquire) == pid) {
        return g_team_processors.load(std::memory_order_relaxed);
    }
    const std::size_t processors = available_processors();
    g_team_processors.store(processors, std::memory_order_relaxed);
    g_team_pid.store(pid, std::memory_order_release);
    return processors;
}

// ---------------------------------------------------------------------------
// Reading cgroup files.

std::optional<std::string> read_first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

// Mount paths in mountinfo escape space, tab, newline and backslash as \ooo.
std::string unescape_mount_path(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool has_item(const std::string& comma_list, const std::string& item) {
    std::stringstream ss(comma_list);
    std::string part;
    while (std::getline(ss, part, ',')) {
        if (part == item) return true;
    }
    return false;
}

struct CgroupMount {
    std::string root;         // path of the mount's root within the hierarchy
    std::string mount_point;  // where it is mounted
};

// The mount of the v2 hierarchy (v2 = true) or of the v1 hierarchy carrying
// the cpu controller.
std::optional<CgroupMount> find_cgroup_mount(const std::string& fs_root, bool v2) {
    std::ifstream in(fs_root + "/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> pre;
        std::string f;
        while (fields >> f && f != "-") pre.push_back(f);
        std::string fstype, source, super_options;
        if (pre.size() < 5 || !(fields >> fstype >> source >> super_options)) continue;
        const bool match = v2 ? fstype == "cgroup2" : (fstype == "cgroup" && has_item(super_options, "cpu"));
        if (match) return CgroupMount{unescape_mount_path(pre[3]), unescape_mount_path(pre[4])};
    }
    return std::nullopt;
}

// The directory of `cgroup_path` under `mount`, or nullopt if the path is not
// visible through that mount.
std::optional<std::string> cgroup_directory(const CgroupMount& mount, const std::string& cgroup_path) {
    std::string relative;
    if (mount.root == "/") {
        relative = cgroup_path;
    } else if (cgroup_path == mount.root) {
        relative = "/";
    } else if (cgroup_path.starts_with(mount.root + "/")) {
        relative = cgroup_path.substr(mount.root.size());
    } else {
        return std::nullopt;
    }
    std::string dir = mount.mount_point;
    if (relative != "/") dir += relative;
    return dir;
}

// Calls limit_of for the cgroup directory `dir` and each ancestor up to the
// mount point (a quota anywhere above applies too); returns the smallest.
template <class LimitOf>
std::optional<double> smallest_limit_upwards(const std::string& fs_root, const std::string& mount_point,
                                             std::string dir, LimitOf limit_of) {
    std::optional<double> best;
    for (;;) {
        if (const std::optional<double> limit = limit_of(fs_root + dir)) {
            if (!best || *limit < *best) best = limit;
        }
        if (dir.size() <= mount_point.size()) return best;
        dir.resize(dir.find_last_of('/'));  // dir is longer than the mount point, so it has a '/'
        if (dir.size() < mount_point.size()) return best;
    }
}

std::optional<double> parse_positive(const std::string& s) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || !(v > 0.0) || !std::isfinite(v)) return std::nullopt;
    return v;
}

// cgroup v2: cpu.max holds "max PERIOD" or "QUOTA PERIOD".
std::optional<double> cpu_max_limit(const std::string& dir) {
    const std::optional<std::string> line = read_first_line(dir + "/cpu.max");
    if (!line) return std::nullopt;
    std::istringstream in(*line);
    std::string quota, period;
    if (!(in >> quota >> period) || quota == "max") return std::nullopt;
    const std::optional<double> q = parse_positive(quota);
    const std::optional<double> p = parse_positive(period);
    if (!q || !p) return std::nullopt;
    return *q / *p;
}

// cgroup v1: cpu.cfs_quota_us is -1 when unlimited.
std::optional<double> cfs_limit(const std::string& dir) {
    const std::optional<std::string> quota = read_first_line(dir + "/cpu.cfs_quota_us");
    const std::optional<std::string> period = read_first_line(dir + "/cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    const std::optional<double> q = parse_positive(*quota);
    const std::optional<double> p = parse_positive(*period);
    if (!q || !p) return std::nullopt;
    return *q / *p;
}

}  // namespace

// ---------------------------------------------------------------------------

namespace worker_pool_internals {

bool forked_since_load() noexcept {
    return g_forked.load(std::memory_order_relaxed) || getpid() != g_load_pid;
}

std::size_t affinity_cpu_count() noexcept {
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            return count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) return 0;  // EINVAL: the kernel's mask is larger; retry bigger
    }
    return 0;
}

std::optional<double> cgroup_cpu_limit(const std::string& fs_root) {
    std::optional<double> best;
    auto take = [&](std::optional<double> limit) {
        if (limit && (!best || *limit < *best)) best = limit;
    };
    std::ifstream in(fs_root + "/proc/self/cgroup");
    std::string line;
    std::optional<CgroupMount> v2_mount, v1_mount;
    bool v2_looked = false, v1_looked = false;
    while (std::getline(in, line)) {
        // "hierarchy-id:controller-list:path"; v2 is "0::path".
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (path.empty() || path.front() != '/') continue;
        if (id == "0" && controllers.empty()) {
            if (!v2_looked) {
                v2_mount = find_cgroup_mount(fs_root, true);
                v2_looked = true;
            }
            if (!v2_mount) continue;
            if (const auto dir = cgroup_directory(*v2_mount, path)) {
                take(smallest_limit_upwards(fs_root, v2_mount->mount_point, *dir, cpu_max_limit));
            }
        } else if (has_item(controllers, "cpu")) {
            if (!v1_looked) {
                v1_mount = find_cgroup_mount(fs_root, false);
                v1_looked = true;
            }
            if (!v1_mount) continue;
            if (const auto dir = cgroup_directory(*v1_mount, path)) {
                take(smallest_limit_upwards(fs_root, v1_mount->mount_point, *dir, cfs_limit));
            }
        }
    }
    return best;
}

std::size_t processors_from(std::size_t affinity, std::optional<double> cpu_limit) noexcept {
    std::size_t n = affinity;
    if (n == 0) n = std::thread::hardware_concurrency();
    if (cpu_limit && *cpu_limit > 0.0) {
        const double rounded_up = std::ceil(*cpu_limit);
        if (rounded_up < static_cast<double>(n)) n = static_cast<std::size_t>(rounded_up);
    }
    return n == 0 ? 1 : n;
}

void map_on_thread_team(std::size_t n, std::size_t threads, ChunkBody body) {
    if (n == 0) return;
    if (threads > n) threads = n;
    if (threads <= 1) {
        body(0, n);
        return;
    }
    std::fenv_t caller_env;
    std::fegetenv(&caller_env);
    const std::size_t base = n / threads;
    const std::size_t extra = n % threads;
    auto slice_begin = [&](std::size_t w) { return w * base + (w < extra ? w : extra); };
    std::vector<std::exception_ptr> errors(threads);
    auto run_slice = [&](std::size_t w) {
        try {
            body(slice_begin(w), slice_begin(w + 1));
        } catch (...) {
            errors[w] = std::current_exception();
        }
    };
    std::vector<std::thread> team;
    team.reserve(threads - 1);
    std::size_t started = 1;  // slice 0 is the caller's
    for (; started < threads; ++started) {
        try {
            team.emplace_back([&, w = started] {
                std::fesetenv(&caller_env);
                run_slice(w);
            });
        } catch (const std::system_error&) {
            break;  // out of threads: the caller takes the remaining slices
        }
    }
    run_slice(0);
    for (std::size_t w = started; w < threads; ++w) run_slice(w);
    for (std::thread& t : team) t.join();
    for (const std::exception_ptr& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}

}  // namespace worker_pool_internals

std::size_t available_processors() {
    using namespace worker_pool_internals;
    return processors_from(affinity_cpu_count(), cgroup_cpu_limit(""));
}

bool worker_pool_created() noexcept {
    return !worker_pool_internals::forked_since_load() && g_pool_state.load(std::memory_order_acquire) == kReady;
}

std::size_t worker_pool_concurrency() noexcept {
    return worker_pool_created() ? static_cast<std::size_t>(g_arena_concurrency) : 0;
}

void parallel_map(std::size_t n, std::size_t threshold, ChunkBody body) {
    if (n < threshold) {
        if (n > 0) body(0, n);
        return;
    }
    if (worker_pool_internals::forked_since_load()) {
        std::size_t threads = team_processors();
        const std::size_t useful = n / kMinTeamSlice + 1;
        if (threads > useful) threads = useful;
        worker_pool_internals::map_on_thread_team(n, threads, body);
        return;
    }
    run_on_pool(n, body);
}

}  // namespace tavik
