// Interpreter-free probes of the current process: memory sizes, descriptors, the clock.
#pragma once

#include <time.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/internal_error.h"

namespace ipc_probe {

// One reading of the process. A plain value: nothing changes it after it is built.
struct ResourceSnapshot {
    std::uint64_t rss_bytes = 0;
    std::uint64_t vms_bytes = 0;
    std::uint32_t open_fds = 0;
    std::uint64_t timestamp_ns = 0;

    // Bytes times 2^-20: exact for every size a process can have.
    double rss_mb() const noexcept { return static_cast<double>(rss_bytes) * 0x1p-20; }
    double vms_mb() const noexcept { return static_cast<double>(vms_bytes) * 0x1p-20; }
    // "ResourceSnapshot(rss=11.8MB, vms=1024.0MB, fds=7)".
    std::string repr() const;
};

// Why a probe failed, with its finished message.
class ProbeError {
public:
    enum class Kind { read, malformed };

    // "cannot read {path}: {libc text} (os error N)".
    static ProbeError os_error(std::string_view path, int error_number);
    // "cannot read {path}: {why}", for a file refused before it is read to the end.
    static ProbeError refused(std::string_view path, std::string_view why);
    // "malformed {key} in {file}: {reason}".
    static ProbeError malformed(std::string_view key, std::string_view reason,
                                std::string_view file = "/proc/self/status");

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    ProbeError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

// Where the probes read from. Only tests point them elsewhere.
struct ProcPaths {
    const char* status = "/proc/self/status";
    const char* fd_dir = "/proc/self/fd";
    const char* statm = "/proc/self/statm";
};

// The clock cannot fail on Linux; if it ever does, that is an internal failure.
using SnapshotError = std::variant<ProbeError, InternalError>;

// Reads the status file, counts the descriptors (the one it counts through included),
// then the clock. The first failure ends it.
std::expected<ResourceSnapshot, SnapshotError> take_snapshot(const ProcPaths& paths = {});

// The resident size alone, in bytes: the statm file's resident pages times the page size.
// The kernel derives VmRSS from the same page count, so this is exactly a snapshot's
// rss_bytes, at a fraction of its cost.
std::expected<std::uint64_t, ProbeError> read_rss_bytes(const ProcPaths& paths = {});

// The targets of all open descriptors in byte order, duplicates kept, ill-formed UTF-8
// repaired. A descriptor closed while the listing runs is skipped.
std::expected<std::vector<std::string>, ProbeError> list_fd_targets(const ProcPaths& paths = {});

namespace detail {

inline constexpr std::string_view kTooLarge = "number too large to fit in target type";

// The kibibyte counts picked from a status text; 0 where a key is absent.
struct StatusValues {
    std::uint64_t rss_kib = 0;
    std::uint64_t vms_kib = 0;
};
std::expected<StatusValues, ProbeError> scan_status(std::string_view text);
std::expected<std::uint64_t, ProbeError> parse_status_value(std::string_view key,
                                                            std::string_view rest);
// The resident page count: the second field of a statm text.
std::expected<std::uint64_t, ProbeError> parse_statm_resident(std::string_view text);

// The descriptors open in the process, `dir_fd` among them, as procfs gives them for the
// size of an open /proc/<pid>/fd directory (Linux 6.2 and later); nothing where the size
// means something else (another file system, an older kernel) or cannot be read.
std::optional<std::uint32_t> count_from_size(int dir_fd) noexcept;
// The entries of an open directory, counted one by one, or the errno of the failed read.
std::expected<std::uint32_t, int> count_entries(int dir_fd);
// take_snapshot's count: the directory's size where it can be trusted, else its entries.
std::expected<std::uint32_t, ProbeError> count_descriptors(const char* fd_dir);

// Nanoseconds since the epoch, or 0 for a time before it.
std::uint64_t timestamp_ns_from(const timespec& time) noexcept;

}  // namespace detail
}  // namespace ipc_probe
