#include "probe/proc_self.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/fd.h"

namespace ipc_probe {
namespace {

namespace fs = std::filesystem;

std::string malformed(std::string_view key, std::string_view reason) {
    return "malformed " + std::string(key) + " in /proc/self/status: " + std::string(reason);
}

TEST(TimestampNs, IsZeroBeforeTheEpoch) {
    EXPECT_EQ(detail::timestamp_ns_from({-1, 999'999'999}), 0u);
    EXPECT_EQ(detail::timestamp_ns_from({0, 0}), 0u);
    EXPECT_EQ(detail::timestamp_ns_from({1, 5}), 1'000'000'005u);
}

TEST(ResourceSnapshotRecord, RepresentationUsesMebibytesToOneDecimal) {
    struct Case {
        ResourceSnapshot record;
        std::string_view repr;
    };
    for (const Case& c : {
             Case{{12'345'344, 1'073'741'824, 7, 0}, "ResourceSnapshot(rss=11.8MB, vms=1024.0MB, fds=7)"},
             Case{{4'193'280, 0, 0, 0}, "ResourceSnapshot(rss=4.0MB, vms=0.0MB, fds=0)"},
             // Exactly 0.25 and 0.75 MiB: ties go to the even digit.
             Case{{262'144, 786'432, 4294967295u, 0}, "ResourceSnapshot(rss=0.2MB, vms=0.8MB, fds=4294967295)"},
             // Never the exponent form, however large.
             Case{{~0ull, 0, 0, 0}, "ResourceSnapshot(rss=17592186044416.0MB, vms=0.0MB, fds=0)"},
         }) {
        EXPECT_EQ(c.record.repr(), c.repr);
    }
    EXPECT_EQ((ResourceSnapshot{4'193'280, 0, 0, 0}.rss_mb()), 3.9990234375);
}

// A scratch directory standing in for /proc/self.
class FakeProc : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/proc_self_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directory(root_ / "fd");
    }
    void TearDown() override { fs::remove_all(root_); }

    void write_status(std::string_view text) {
        std::ofstream(root_ / "status", std::ios::binary) << text;
    }
    void write_statm(std::string_view text) {
        std::ofstream(root_ / "statm", std::ios::binary) << text;
    }
    void link(const std::string& name, const std::string& target) {
        ASSERT_EQ(::symlink(target.c_str(), (root_ / "fd" / name).c_str()), 0);
    }
    ProcPaths paths() {
        status_ = (root_ / "status").string();
        fd_dir_ = (root_ / "fd").string();
        statm_ = (root_ / "statm").string();
        return {status_.c_str(), fd_dir_.c_str(), statm_.c_str()};
    }

    fs::path root_;
    std::string status_, fd_dir_, statm_;
};

TEST_F(FakeProc, SnapshotConvertsKibibytesAndCountsEntriesPlusItsOwn) {
    write_status("Name:\tx\nVmSize:\t  123456 kB\nVmRSS:\t    7890 kB\n");
    link("0", "/dev/null");
    link("1", "/dev/null");
    // Not procfs: the directory's size (bytes of tmpfs or disk) is no count, so its
    // entries are counted, and none of them is the counting descriptor; nothing learnt
    // from the real directory first carries over.
    ASSERT_TRUE(take_snapshot());
    auto snapshot = take_snapshot(paths());
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->vms_bytes, 126'418'944u);
    EXPECT_EQ(snapshot->rss_bytes, 8'079'360u);
    EXPECT_EQ(snapshot->open_fds, 2u);
    EXPECT_GT(snapshot->timestamp_ns, 1'700'000'000'000'000'000u);
}

TEST_F(FakeProc, SnapshotFailuresCarryTheirMessages) {
    struct Case {
        std::string name, status;
        bool fd_dir_is_file;
        std::string message;  // {status} and {fd} stand for the fake paths
    };
    const Case cases[] = {
        {"malformed value", "VmSize:\t-5 kB\n", false,
         malformed("VmSize", "invalid digit found in string")},
        // The product would wrap modulo 2^64: refused instead.
        {"rss bytes overflow", "VmSize: 1\nVmRSS: 18014398509481984\n", false,
         malformed("VmRSS", "number too large to fit in target type")},
        {"vms bytes overflow", "VmSize: 18014398509481984\nVmRSS: 1\n", false,
         malformed("VmSize", "number too large to fit in target type")},
        {"entries cannot be read", "VmSize: 1\nVmRSS: 1\n", true,
         "cannot read {fd}: Not a directory (os error 20)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_status(c.status);
        fs::remove_all(root_ / "fd");
        if (c.fd_dir_is_file) {
            std::ofstream(root_ / "fd") << "not a directory";
        } else {
            fs::create_directory(root_ / "fd");
        }
        const ProcPaths where = paths();
        auto snapshot = take_snapshot(where);
        ASSERT_FALSE(snapshot);
        std::string expected = c.message;
        if (auto at = expected.find("{status}"); at != std::string::npos) expected.replace(at, 8, status_);
        if (auto at = expected.find("{fd}"); at != std::string::npos) expected.replace(at, 4, fd_dir_);
        EXPECT_EQ(std::get<ProbeError>(snapshot.error()).message(), expected);
    }
}

// The name heads the file as raw bytes, cut at 15 of them, maybe inside a character; only
// a VmRSS or VmSize line that starts a line counts, whatever the name says.
TEST_F(FakeProc, TheProcessNameNeverMatters) {
    for (const std::string name : {"\xD0\xBC\xD0\xBE\xD0\xBD\xD0\xB8\xD1\x82\xD0\xBE\xD1\x80\xD0",
                                   "caf\xE9", "VmRSS:\t1 kB", "\\nVmRSS:\t1 kB"}) {
        SCOPED_TRACE(name);
        write_status("Name:\t" + name + "\nUmask:\t0022\nVmSize:\t  8 kB\nVmRSS:\t    4 kB\n");
        auto snapshot = take_snapshot(paths());
        ASSERT_TRUE(snapshot);
        EXPECT_EQ(snapshot->rss_bytes, 4096u);
        EXPECT_EQ(snapshot->vms_bytes, 8192u);
    }
}

// What a container may put in a /proc file's place is refused at once: a FIFO would block
// the open or the read for ever, a device or a huge file never end.
TEST_F(FakeProc, FilesThatWouldNeverAnswerOrNeverEndAreRefused) {
    const fs::path fifo = root_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path huge = root_ / "huge";
    std::ofstream(huge, std::ios::binary) << "VmSize: 1\nVmRSS: 1\n" << std::string((1 << 20) + 1, '\n');
    struct Case {
        std::string file, why;
    };
    for (const Case& c : {Case{fifo.string(), "not a regular file"}, Case{"/dev/zero", "not a regular file"},
                          Case{huge.string(), "longer than 1 MiB"}}) {
        SCOPED_TRACE(c.file);
        const std::string expected = "cannot read " + c.file + ": " + c.why;
        ProcPaths where = paths();
        where.status = c.file.c_str();
        where.statm = c.file.c_str();
        auto snapshot = take_snapshot(where);
        ASSERT_FALSE(snapshot);
        EXPECT_EQ(std::get<ProbeError>(snapshot.error()).message(), expected);
        auto rss = read_rss_bytes(where);
        ASSERT_FALSE(rss);
        EXPECT_EQ(rss.error().kind(), ProbeError::Kind::read);
        EXPECT_EQ(rss.error().message(), expected);
    }
    write_status("VmSize: 1\nVmRSS: 1\n");
    ProcPaths where = paths();
    where.fd_dir = fifo.c_str();
    auto snapshot = take_snapshot(where);
    ASSERT_FALSE(snapshot);
    EXPECT_EQ(std::get<ProbeError>(snapshot.error()).message(),
              "cannot read " + fifo.string() + ": Not a directory (os error 20)");
    EXPECT_EQ(list_fd_targets(where).error().message(),
              "cannot read " + fifo.string() + ": Not a directory (os error 20)");
}

TEST_F(FakeProc, MissingFilesAreReadErrors) {
    fs::remove_all(root_ / "fd");
    const ProcPaths where = paths();
    auto snapshot = take_snapshot(where);
    ASSERT_FALSE(snapshot);
    EXPECT_EQ(std::get<ProbeError>(snapshot.error()).message(),
              "cannot read " + status_ + ": No such file or directory (os error 2)");
    auto targets = list_fd_targets(where);
    ASSERT_FALSE(targets);
    EXPECT_EQ(targets.error().kind(), ProbeError::Kind::read);
    EXPECT_EQ(targets.error().message(),
              "cannot read " + fd_dir_ + ": No such file or directory (os error 2)");
}

TEST_F(FakeProc, RssIsResidentPagesTimesThePageSize) {
    const auto page_bytes = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const ProcPaths where = paths();
    auto missing = read_rss_bytes(where);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "cannot read " + statm_ + ": No such file or directory (os error 2)");

    write_statm("1089 312 201 1 0 197 0\n");
    EXPECT_EQ(read_rss_bytes(where).value(), 312 * page_bytes);
    // A page count whose byte count does not fit 64 bits is refused, not wrapped.
    write_statm("1 " + std::to_string(UINT64_MAX / page_bytes + 1) + " 0\n");
    auto too_large = read_rss_bytes(where);
    ASSERT_FALSE(too_large);
    EXPECT_EQ(too_large.error().message(),
              "malformed resident in /proc/self/statm: number too large to fit in target type");
}

TEST_F(FakeProc, StatusLargerThanTheStackBufferIsReadWhole) {
    std::string text = "Name:\t" + std::string(20'000, 'n') + "\nVmSize: 3\nVmRSS: 4\n";
    write_status(text);
    auto snapshot = take_snapshot(paths());
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->rss_bytes, 4096u);
}

TEST_F(FakeProc, ListingSortsBytewiseKeepsDuplicatesAndRepairsTargets) {
    const std::string long_target = "/" + std::string(1000, 'L');
    link("0", "/dev/pts/0");
    link("1", "/dev/pts/0");
    link("2", "b\xFF");
    link("3", "pipe:[1]");
    link("4", "/dev/pts");
    link("5", long_target);
    link("6", "\xC3\xA9");
    auto targets = list_fd_targets(paths());
    ASSERT_TRUE(targets);
    const std::vector<std::string> expected = {
        long_target, "/dev/pts", "/dev/pts/0", "/dev/pts/0", "b\xEF\xBF\xBD", "pipe:[1]", "\xC3\xA9"};
    EXPECT_EQ(*targets, expected);
}

TEST_F(FakeProc, ListingSkipsEntriesThatAreNotLinks) {
    link("0", "/dev/null");
    std::ofstream(root_ / "fd" / "1") << "a file is no link";
    auto targets = list_fd_targets(paths());
    ASSERT_TRUE(targets);
    EXPECT_EQ(*targets, std::vector<std::string>{"/dev/null"});
}

TEST(ProcSelf, CountsItsOwnListingDescriptor) {
    // Compare with a listing of our own, taken while no other descriptor changes.
    auto snapshot = take_snapshot();
    auto targets = list_fd_targets();
    ASSERT_TRUE(snapshot);
    ASSERT_TRUE(targets);
    EXPECT_EQ(snapshot->open_fds, targets->size());
    EXPECT_GT(snapshot->rss_bytes, 0u);
    EXPECT_GT(snapshot->vms_bytes, snapshot->rss_bytes);
    const std::string own_dir = "/proc/" + std::to_string(::getpid()) + "/fd";
    EXPECT_EQ(std::count(targets->begin(), targets->end(), own_dir), 1);
}

// The sampler's cheap reading must be the very quantity snapshot_resources() reports.
TEST(ProcSelf, StatmRssEqualsTheSnapshotsRss) {
    // Memory may move between reads, so statm is read between two snapshots: where those
    // agree, nothing moved and statm must equal them; where memory keeps moving (the
    // sanitizers' allocators touch new pages on every call), it must lie between them.
    // A wrong unit or a differently rounded counter does neither.
    std::uint64_t before = 0, statm_bytes = 0, after = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        before = take_snapshot().value().rss_bytes;
        statm_bytes = read_rss_bytes().value();
        after = take_snapshot().value().rss_bytes;
        if (before == after) {
            EXPECT_EQ(statm_bytes, before);
            return;
        }
    }
    EXPECT_GE(statm_bytes, std::min(before, after));
    EXPECT_LE(statm_bytes, std::max(before, after));
}

// Puts the soft descriptor limit back as it found it.
class DescriptorLimit {
public:
    DescriptorLimit() { ::getrlimit(RLIMIT_NOFILE, &saved_); }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    const rlimit& saved() const { return saved_; }
    bool set_soft(rlim_t soft) {
        rlimit changed = saved_;
        changed.rlim_cur = soft;
        return ::setrlimit(RLIMIT_NOFILE, &changed) == 0;
    }

private:
    rlimit saved_{};
};

TEST(DescriptorCount, KernelCountEqualsTheListingAtThousandsOfDescriptors) {
    DescriptorLimit limit;
    const rlim_t wanted = 4096;
    if (limit.saved().rlim_cur < wanted) {
        ASSERT_TRUE(limit.set_soft(std::min(wanted, limit.saved().rlim_max)));
    }
    std::vector<Fd> held;
    while (held.size() < 3000) {
        Fd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!fd) break;  // a hard limit below 3,000 leaves fewer
        held.push_back(std::move(fd));
    }
    ASSERT_GT(held.size(), 500u);
    // Gaps, so that no count derived from the highest number can pass.
    for (std::size_t i = 0; i < held.size(); i += 7) held[i].reset();

    Fd dir(::open("/proc/self/fd", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(dir);
    struct stat info;
    ASSERT_EQ(::fstat(dir.get(), &info), 0);
    if (info.st_size == 0) GTEST_SKIP() << "this kernel keeps no descriptor count (Linux < 6.2)";
    const std::optional<std::uint32_t> kernel = detail::count_from_size(dir.get());
    const auto listed = detail::count_entries(dir.get());
    ASSERT_TRUE(kernel);
    ASSERT_TRUE(listed);
    EXPECT_EQ(*kernel, *listed);
    EXPECT_GT(*kernel, held.size() * 6 / 7);
    // The snapshot counts through a descriptor of its own, taking the place of `dir`.
    dir.reset();
    EXPECT_EQ(take_snapshot().value().open_fds, *kernel);
}

TEST(DescriptorCount, NoFreeDescriptorIsTheListingsError) {
    DescriptorLimit limit;
    // The number the next open would get: taken, and given back at once.
    const int lowest_free = Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)).get();
    ASSERT_GE(lowest_free, 0);
    ASSERT_TRUE(limit.set_soft(static_cast<rlim_t>(lowest_free)));
    // The kernel's count would need no descriptor, but the count keeps the listing's error.
    auto counted = detail::count_descriptors("/proc/self/fd");
    ASSERT_FALSE(counted);
    EXPECT_EQ(counted.error().message(), "cannot read /proc/self/fd: Too many open files (os error 24)");
}

}  // namespace
}  // namespace ipc_probe
