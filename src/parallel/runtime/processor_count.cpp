#include "parallel/runtime/processor_count.hpp"

#include <sched.h>

#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

namespace tavik {

namespace {

// ---- cgroup files

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

// A positive decimal integer with optional blanks around it, saturating at
// SIZE_MAX; nullopt for anything else ("", "0", "-1", "4x", "1.5").
std::optional<std::size_t> parse_count(std::string_view s) noexcept {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    if (s.empty()) return std::nullopt;
    std::size_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(c - '0');
        value = value > (SIZE_MAX - digit) / 10 ? SIZE_MAX : value * 10 + digit;
    }
    if (value == 0) return std::nullopt;
    return value;
}

}  // namespace

namespace processor_count {

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

std::size_t processors_from(std::size_t affinity, std::optional<double> cpu_limit,
                            std::optional<std::size_t> thread_limit) noexcept {
    std::size_t n = affinity;
    if (n == 0) n = std::thread::hardware_concurrency();
    if (cpu_limit && *cpu_limit > 0.0) {
        const double rounded_up = std::ceil(*cpu_limit);
        if (rounded_up < static_cast<double>(n)) n = static_cast<std::size_t>(rounded_up);
    }
    if (thread_limit && *thread_limit < n) n = *thread_limit;
    return n == 0 ? 1 : n;
}

std::optional<std::size_t> environment_thread_limit(const char* omp_num_threads,
                                                    const char* omp_thread_limit) noexcept {
    std::optional<std::size_t> limit;
    if (omp_num_threads != nullptr) {
        // A comma list gives the thread count per nesting level; the first is ours.
        const std::string_view list(omp_num_threads);
        limit = parse_count(list.substr(0, list.find(',')));
    }
    if (omp_thread_limit != nullptr) {
        if (const std::optional<std::size_t> cap = parse_count(omp_thread_limit); cap && (!limit || *cap < *limit)) {
            limit = cap;
        }
    }
    return limit;
}

}  // namespace processor_count

std::size_t available_processors() {
    using namespace processor_count;
    return processors_from(affinity_cpu_count(), cgroup_cpu_limit(""),
                           environment_thread_limit(std::getenv("OMP_NUM_THREADS"), std::getenv("OMP_THREAD_LIMIT")));
}

}  // namespace tavik
