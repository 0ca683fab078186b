// Counting the processors a process may use: affinity, cgroup quotas read
// from a fake file tree, and the OpenMP thread-limit variables.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "parallel/runtime/processor_count.hpp"

namespace tavik {
namespace {

namespace pc = processor_count;

TEST(ProcessorCount, SmallestOfAffinityRoundedUpQuotaAndThreadLimit) {
    EXPECT_EQ(pc::processors_from(8, std::nullopt), 8u);
    EXPECT_EQ(pc::processors_from(8, 1.5), 2u);
    EXPECT_EQ(pc::processors_from(8, 0.2), 1u);
    EXPECT_EQ(pc::processors_from(2, 16.0), 2u);
    EXPECT_EQ(pc::processors_from(8, 1.5, 1), 1u);
    EXPECT_EQ(pc::processors_from(8, 4.0, 3), 3u);
    EXPECT_EQ(pc::processors_from(2, std::nullopt, 64), 2u);
    EXPECT_EQ(available_processors(),
              pc::processors_from(pc::affinity_cpu_count(), pc::cgroup_cpu_limit(""),
                                  pc::environment_thread_limit(std::getenv("OMP_NUM_THREADS"),
                                                               std::getenv("OMP_THREAD_LIMIT"))));
}

TEST(ProcessorCount, OpenMpVariables) {
    using L = std::optional<std::size_t>;
    EXPECT_EQ(pc::environment_thread_limit(nullptr, nullptr), L());
    EXPECT_EQ(pc::environment_thread_limit("3", nullptr), L(3));
    EXPECT_EQ(pc::environment_thread_limit(" 4 ", nullptr), L(4));
    EXPECT_EQ(pc::environment_thread_limit("4,2,1", nullptr), L(4));  // one value per nesting level
    EXPECT_EQ(pc::environment_thread_limit("1,8", "6"), L(1));
    EXPECT_EQ(pc::environment_thread_limit("8", "6"), L(6));
    EXPECT_EQ(pc::environment_thread_limit(nullptr, "2"), L(2));
    EXPECT_EQ(pc::environment_thread_limit("99999999999999999999999", nullptr), L(SIZE_MAX));
    // Not a positive integer: ignored, the other variable still counts.
    for (const char* bad : {"", " ", "0", "-2", "2.5", "4x", "x4", ",4", "four", "+3"}) {
        EXPECT_EQ(pc::environment_thread_limit(bad, nullptr), L()) << '"' << bad << '"';
        EXPECT_EQ(pc::environment_thread_limit(bad, "5"), L(5)) << '"' << bad << '"';
        EXPECT_EQ(pc::environment_thread_limit("7", bad), L(7)) << '"' << bad << '"';
    }
}

class FakeCgroupTree : public ::testing::Test {
protected:
    std::filesystem::path root_ = std::filesystem::temp_directory_path() /
                                  ("tavik-cgroup-" + std::to_string(getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(root_ / "proc/self"); }
    void TearDown() override { std::filesystem::remove_all(root_); }
    void write(const std::string& path, const std::string& text) {
        std::filesystem::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text;
    }
    std::optional<double> limit() { return pc::cgroup_cpu_limit(root_.string()); }
};

TEST_F(FakeCgroupTree, Version2TakesTheSmallestQuotaOnThePath) {
    EXPECT_EQ(limit(), std::nullopt);  // nothing readable
    write("proc/self/cgroup", "0::/user.slice/app\n");
    write("proc/self/mountinfo",
          "24 30 0:22 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n");
    write("sys/fs/cgroup/user.slice/app/cpu.max", "max 100000\n");
    EXPECT_EQ(limit(), std::nullopt);
    write("sys/fs/cgroup/user.slice/cpu.max", "250000 100000\n");
    EXPECT_EQ(limit(), 2.5);
    write("sys/fs/cgroup/user.slice/app/cpu.max", "150000 100000\n");
    EXPECT_EQ(limit(), 1.5);
}

TEST_F(FakeCgroupTree, Version1CfsQuotaInsideAContainerMount) {
    // The container sees its own cgroup as the root of the cpu hierarchy.
    write("proc/self/cgroup", "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n0::/\n");
    write("proc/self/mountinfo",
          "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
          "32 31 0:29 /docker/abc /sys/fs/cgroup/cpu\\040x rw - cgroup cgroup rw,cpu,cpuacct\n");
    write("sys/fs/cgroup/cpu x/cpu.cfs_period_us", "100000\n");
    write("sys/fs/cgroup/cpu x/cpu.cfs_quota_us", "-1\n");
    EXPECT_EQ(limit(), std::nullopt);
    write("sys/fs/cgroup/cpu x/cpu.cfs_quota_us", "50000\n");
    EXPECT_EQ(limit(), 0.5);
}

}  // namespace
}  // namespace tavik
