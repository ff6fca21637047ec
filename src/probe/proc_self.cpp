// /proc/self readers. Files are read whole into one buffer and handed to the parsers in
// proc_text.cpp, which never see the I/O.
#include "probe/proc_self.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <format>
#include <limits>
#include <span>
#include <variant>

#include "common/fd.h"
#include "common/os.h"
#include "common/utf8.h"

namespace ipc_probe {
namespace {

// Nothing in /proc that is read whole comes near this: the status file is about 1.5 KiB.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;

// Why a file was read no further, beside the errors the system gives.
enum class Refused { not_regular, too_large };
using ReadFailure = std::variant<int, Refused>;

// Reads a regular file until end of file, at most kMaxFileBytes: into `stack` while it
// fits, then into `spill`, doubling. What a container may bind over a /proc file is
// refused before it is read: a FIFO would block for ever, a device never end.
std::expected<std::string_view, ReadFailure> read_whole(int fd, std::span<char> stack,
                                                        std::string& spill) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return std::unexpected(errno);
    if (!S_ISREG(info.st_mode)) return std::unexpected(Refused::not_regular);
    char* data = stack.data();
    std::size_t capacity = stack.size();
    std::size_t size = 0;
    for (;;) {
        if (size == capacity) {
            const bool on_stack = data == stack.data();
            spill.resize(capacity * 2);
            if (on_stack) std::memcpy(spill.data(), stack.data(), size);
            data = spill.data();
            capacity = spill.size();
        }
        const ssize_t n = ::read(fd, data + size, capacity - size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        if (n == 0) return std::string_view(data, size);
        size += static_cast<std::size_t>(n);
        if (size > kMaxFileBytes) return std::unexpected(Refused::too_large);
    }
}

ProbeError read_error(std::string_view path, const ReadFailure& failure) {
    if (const int* error_number = std::get_if<int>(&failure)) return ProbeError::os_error(path, *error_number);
    return ProbeError::refused(path, std::get<Refused>(failure) == Refused::not_regular
                                         ? "not a regular file"
                                         : "longer than 1 MiB");
}

// Read-only and close-on-exec, with `kind` (see below), retried when a signal interrupts it.
Fd open_read_only(const char* path, int kind) noexcept {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | kind);
    } while (fd < 0 && errno == EINTR);
    return Fd(fd);
}
// Non-blocking, so that opening a FIFO put in a file's place returns at once.
constexpr int kFile = O_NONBLOCK;
constexpr int kDirectory = O_DIRECTORY;

// Calls `on_entry(name)` for each entry but "." and "..", through a stack buffer: nothing
// is allocated per entry. A failure to read entries is reported, not taken as the end.
template <class OnEntry>
std::expected<void, int> for_each_entry(int dir_fd, OnEntry&& on_entry) {
    alignas(dirent64) std::array<char, 8192> buffer;
    for (;;) {
        const ssize_t n = ::getdents64(dir_fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        if (n == 0) return {};
        for (ssize_t offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            const std::string_view name(entry->d_name);
            if (name != "." && name != "..") on_entry(entry->d_name);
        }
    }
}

// The device number of the procfs mount an fd directory was last found on; 0, which no
// mount has, until then. Relaxed: it orders nothing, and a stale value costs one check.
std::atomic<dev_t> procfs_device{0};

// Whether the open file is on procfs. fstatfs is a system call, here as dear as the rest
// of the count, so it is asked once per mount: a mounted file system keeps its device
// number and shares it with none; only once that procfs were unmounted could another
// file system be given the number.
bool on_procfs(int fd, dev_t device) noexcept {
    if (device != 0 && device == procfs_device.load(std::memory_order_relaxed)) return true;
    struct statfs file_system;
    if (::fstatfs(fd, &file_system) != 0 || file_system.f_type != PROC_SUPER_MAGIC) return false;
    procfs_device.store(device, std::memory_order_relaxed);
    return true;
}

// The whole target of a symbolic link in the directory, however long; false if it is gone.
bool read_link(int dir_fd, const char* name, std::string& target) {
    char first[256];
    ssize_t n = ::readlinkat(dir_fd, name, first, sizeof first);
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < sizeof first) {
        target.assign(first, static_cast<std::size_t>(n));
        return true;
    }
    // readlink truncates silently: a full buffer may mean more is left, so grow and retry.
    for (std::size_t size = 2 * sizeof first;; size *= 2) {
        target.resize(size);
        n = ::readlinkat(dir_fd, name, target.data(), size);
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < size) {
            target.resize(static_cast<std::size_t>(n));
            return true;
        }
    }
}

}  // namespace

std::string ResourceSnapshot::repr() const {
    return std::format("ResourceSnapshot(rss={:.1f}MB, vms={:.1f}MB, fds={})", rss_mb(), vms_mb(),
                       open_fds);
}

ProbeError ProbeError::os_error(std::string_view path, int error_number) {
    return ProbeError(Kind::read, "cannot read " + std::string(path) + ": " + os_error_text(error_number));
}

ProbeError ProbeError::refused(std::string_view path, std::string_view why) {
    return ProbeError(Kind::read, "cannot read " + std::string(path) + ": " + std::string(why));
}

ProbeError ProbeError::malformed(std::string_view key, std::string_view reason,
                                 std::string_view file) {
    return ProbeError(Kind::malformed, "malformed " + std::string(key) + " in " +
                                           std::string(file) + ": " + std::string(reason));
}

namespace detail {

std::optional<std::uint32_t> count_from_size(int dir_fd) noexcept {
    // The kernel counts the numbers taken: one another thread is opening at this instant
    // counts before a listing would show it, the same race either way.
    struct stat info;
    if (::fstat(dir_fd, &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    // A kernel before 6.2 reports 0. Only procfs keeps the count there: a directory
    // elsewhere has a size of its own (tmpfs: 20 bytes an entry, ext4: its blocks).
    if (info.st_size <= 0 || info.st_size > std::numeric_limits<std::uint32_t>::max() ||
        !on_procfs(dir_fd, info.st_dev)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(info.st_size);
}

std::expected<std::uint32_t, int> count_entries(int dir_fd) {
    std::uint32_t count = 0;
    if (auto listed = for_each_entry(dir_fd, [&](const char*) { ++count; }); !listed) {
        return std::unexpected(listed.error());
    }
    return count;
}

std::expected<std::uint32_t, ProbeError> count_descriptors(const char* fd_dir) {
    // Opened, though its size could be had by path. The count has always included the
    // descriptor it is taken through, as every count made by listing does, and the open
    // directory's size includes it by itself (where "+ 1" on a stat would be wrong for a
    // thread with a files table of its own). And a process with no descriptor to spare,
    // or no right to the directory, keeps getting the listing's error ("Too many open
    // files", "Permission denied"), not a count no listing could have produced.
    const Fd dir = open_read_only(fd_dir, kDirectory);
    if (!dir) return std::unexpected(ProbeError::os_error(fd_dir, errno));
    // O(1) where the kernel keeps the count; the listing costs about half a microsecond
    // per descriptor, 10 ms at 19,000.
    if (const std::optional<std::uint32_t> counted = count_from_size(dir.get())) return *counted;
    auto listed = count_entries(dir.get());
    if (!listed) return std::unexpected(ProbeError::os_error(fd_dir, listed.error()));
    return *listed;
}

std::uint64_t timestamp_ns_from(const timespec& time) noexcept {
    if (time.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(time.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(time.tv_nsec);
}

}  // namespace detail

std::expected<ResourceSnapshot, SnapshotError> take_snapshot(const ProcPaths& paths) {
    detail::StatusValues kib;
    {
        // Closed before the descriptors are counted, so it is never among them.
        const Fd status = open_read_only(paths.status, kFile);
        if (!status) return std::unexpected(ProbeError::os_error(paths.status, errno));
        std::array<char, 4096> stack;  // the status file is about 1.5 KiB
        std::string spill;
        const auto text = read_whole(status.get(), stack, spill);
        if (!text) return std::unexpected(read_error(paths.status, text.error()));
        // Not checked as text: the process name at its head is raw bytes, cut by the
        // kernel at 15 of them, and only the lines scanned for matter.
        auto scanned = detail::scan_status(*text);
        if (!scanned) return std::unexpected(std::move(scanned).error());
        kib = *scanned;
    }

    ResourceSnapshot snapshot;
    // A kibibyte count whose byte count does not fit 64 bits is refused, not wrapped.
    if (__builtin_mul_overflow(kib.rss_kib, 1024u, &snapshot.rss_bytes)) {
        return std::unexpected(ProbeError::malformed("VmRSS", detail::kTooLarge));
    }
    if (__builtin_mul_overflow(kib.vms_kib, 1024u, &snapshot.vms_bytes)) {
        return std::unexpected(ProbeError::malformed("VmSize", detail::kTooLarge));
    }

    auto count = detail::count_descriptors(paths.fd_dir);
    if (!count) return std::unexpected(std::move(count).error());
    snapshot.open_fds = *count;

    timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return std::unexpected(InternalError{"clock_gettime(CLOCK_REALTIME) failed: " +
                                             os_error_text(errno)});
    }
    snapshot.timestamp_ns = detail::timestamp_ns_from(now);
    return snapshot;
}

std::expected<std::uint64_t, ProbeError> read_rss_bytes(const ProcPaths& paths) {
    const Fd statm = open_read_only(paths.statm, kFile);
    if (!statm) return std::unexpected(ProbeError::os_error(paths.statm, errno));
    std::array<char, 256> stack;  // seven numbers, one line: under 160 bytes
    std::string spill;
    const auto text = read_whole(statm.get(), stack, spill);
    if (!text) return std::unexpected(read_error(paths.statm, text.error()));
    auto pages = detail::parse_statm_resident(*text);
    if (!pages) return std::unexpected(std::move(pages).error());
    // VmRSS is this page count shifted to kibibytes, so the product is VmRSS times 1024.
    const auto page_bytes = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    std::uint64_t rss_bytes;
    if (__builtin_mul_overflow(*pages, page_bytes, &rss_bytes)) {
        return std::unexpected(ProbeError::malformed("resident", detail::kTooLarge, "/proc/self/statm"));
    }
    return rss_bytes;
}

std::expected<std::vector<std::string>, ProbeError> list_fd_targets(const ProcPaths& paths) {
    std::vector<std::string> targets;
    {
        const Fd dir = open_read_only(paths.fd_dir, kDirectory);
        if (!dir) return std::unexpected(ProbeError::os_error(paths.fd_dir, errno));
        std::string target;
        const auto listed = for_each_entry(dir.get(), [&](const char* name) {
            // A descriptor closed since the directory was read is simply not listed.
            if (read_link(dir.get(), name, target)) targets.push_back(repair_utf8(target));
        });
        if (!listed) return std::unexpected(ProbeError::os_error(paths.fd_dir, listed.error()));
    }
    std::stable_sort(targets.begin(), targets.end());  // byte order: std::string compares as unsigned
    return targets;
}

}  // namespace ipc_probe
