// Parsers of /proc/self text, apart from the reads: tests and fuzzers feed them anything.
#include <limits>

#include "probe/proc_self.h"

namespace ipc_probe {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::string_view kInvalidDigit = "invalid digit found in string";
constexpr std::string_view kEmptyValue = "empty value";
constexpr std::string_view kStatm = "/proc/self/statm";

// Byte length of the Unicode White_Space character at `pos`, or 0 if there is none.
// No byte of a multi-byte character can start one of these, so a scan may step bytewise.
std::size_t whitespace_length(std::string_view s, std::size_t pos) noexcept {
    const auto at = [&](std::size_t i) -> unsigned {
        return pos + i < s.size() ? static_cast<unsigned char>(s[pos + i]) : 0u;
    };
    const unsigned b0 = at(0);
    if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
    if (b0 == 0xC2) return at(1) == 0x85 || at(1) == 0xA0 ? 2 : 0;               // U+0085, U+00A0
    if (b0 == 0xE1) return at(1) == 0x9A && at(2) == 0x80 ? 3 : 0;               // U+1680
    if (b0 == 0xE3) return at(1) == 0x80 && at(2) == 0x80 ? 3 : 0;               // U+3000
    if (b0 != 0xE2) return 0;
    const unsigned b1 = at(1), b2 = at(2);
    if (b1 == 0x80) {
        return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
    }
    return b1 == 0x81 && b2 == 0x9F ? 3 : 0;                                     // U+205F
}

// A word of ASCII digits as an unsigned 64-bit value, or why it is none: the first
// character that is no digit or makes the value overflow, whichever comes first.
std::expected<std::uint64_t, std::string_view> parse_digits(std::string_view word) noexcept {
    std::uint64_t value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return std::unexpected(kInvalidDigit);
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kU64Max - digit) / 10) return std::unexpected(detail::kTooLarge);
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

namespace detail {

std::expected<std::uint64_t, ProbeError> parse_status_value(std::string_view key,
                                                            std::string_view rest) {
    std::size_t pos = 0;
    while (pos < rest.size()) {
        const std::size_t blank = whitespace_length(rest, pos);
        if (blank == 0) break;
        pos += blank;
    }
    const std::size_t start = pos;
    while (pos < rest.size() && whitespace_length(rest, pos) == 0) ++pos;
    std::string_view word = rest.substr(start, pos - start);  // the unit after it is ignored

    if (word.empty()) return std::unexpected(ProbeError::malformed(key, kEmptyValue));
    if (word.front() == '+') {
        word.remove_prefix(1);
        if (word.empty()) return std::unexpected(ProbeError::malformed(key, kInvalidDigit));
    }
    auto value = parse_digits(word);
    if (!value) return std::unexpected(ProbeError::malformed(key, value.error()));
    return *value;
}

std::expected<StatusValues, ProbeError> scan_status(std::string_view text) {
    constexpr std::string_view kRss = "VmRSS:", kSize = "VmSize:";
    StatusValues values;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find('\n', pos);
        std::string_view line = text.substr(pos, end == text.npos ? text.npos : end - pos);
        if (end != text.npos && line.ends_with('\r')) line.remove_suffix(1);
        pos = end == text.npos ? text.size() : end + 1;

        if (line.starts_with(kRss)) {
            auto parsed = parse_status_value("VmRSS", line.substr(kRss.size()));
            if (!parsed) return std::unexpected(std::move(parsed).error());
            values.rss_kib = *parsed;
        } else if (line.starts_with(kSize)) {
            auto parsed = parse_status_value("VmSize", line.substr(kSize.size()));
            if (!parsed) return std::unexpected(std::move(parsed).error());
            values.vms_kib = *parsed;
        }
        // The kernel writes VmSize before VmRSS, so this normally stops at the VmRSS line;
        // a zero is no answer yet, and a later line may still replace it.
        if (values.rss_kib != 0 && values.vms_kib != 0) break;
    }
    return values;
}

std::expected<std::uint64_t, ProbeError> parse_statm_resident(std::string_view text) {
    // The kernel writes "size resident shared text lib data dt\n", one space apart. Only
    // the second field is read, and it is held to exactly that layout: no sign, no other
    // blank, since nothing else ever writes this file.
    const std::size_t first_end = text.find(' ');
    const std::string_view rest = first_end == text.npos ? std::string_view() : text.substr(first_end + 1);
    const std::string_view word = rest.substr(0, rest.find_first_of(" \n"));
    if (word.empty()) return std::unexpected(ProbeError::malformed("resident", kEmptyValue, kStatm));
    auto pages = parse_digits(word);
    if (!pages) return std::unexpected(ProbeError::malformed("resident", pages.error(), kStatm));
    return *pages;
}

}  // namespace detail
}  // namespace ipc_probe
