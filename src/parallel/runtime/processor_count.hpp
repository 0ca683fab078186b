// How many processors this process may keep busy: what the pool of the
// runtime library (runtime.h) counts once, when it is created.
//
// The count is the smallest of
//  - the CPUs in the calling thread's affinity mask (taskset, numactl,
//    a scheduler's cpuset);
//  - the cgroup CPU quota, rounded up (docker --cpus, Kubernetes limits,
//    systemd CPUQuota), the smallest along the process's cgroup path;
//  - OMP_NUM_THREADS (its first value) and OMP_THREAD_LIMIT, which batch
//    schedulers and dask set to keep N processes from starting N threads
//    each; values that are not positive integers are ignored;
// and at least 1. An unreadable mask falls back to the hardware thread count;
// unreadable cgroup files or unset variables impose no limit.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tavik {

// The count above, read afresh from the system and the environment.
std::size_t available_processors();

namespace processor_count {

// CPUs in the calling thread's affinity mask; 0 if it cannot be read.
std::size_t affinity_cpu_count() noexcept;

// CPU limit (quota / period) of the cgroup this process belongs to, the
// smallest along its path up to the hierarchy root, from cgroup v2 cpu.max
// or cgroup v1 cpu.cfs_quota_us / cpu.cfs_period_us. Files are read below
// `fs_root` ("" for the real file system: /proc/self/cgroup,
// /proc/self/mountinfo and the cgroup mounts listed there).
// nullopt when no quota is set or nothing can be read.
std::optional<double> cgroup_cpu_limit(const std::string& fs_root);

// Thread limit from the values of OMP_NUM_THREADS and OMP_THREAD_LIMIT
// (nullptr when unset): the smaller of the first entry of the former's comma
// list and the latter, each a positive decimal integer with optional
// surrounding blanks; anything else is ignored. nullopt when neither counts.
std::optional<std::size_t> environment_thread_limit(const char* omp_num_threads,
                                                    const char* omp_thread_limit) noexcept;

// min(affinity, ceil(cpu_limit), thread_limit), at least 1; an affinity of 0
// (unknown) falls back to the hardware thread count.
std::size_t processors_from(std::size_t affinity, std::optional<double> cpu_limit,
                            std::optional<std::size_t> thread_limit = std::nullopt) noexcept;

}  // namespace processor_count

}  // namespace tavik
