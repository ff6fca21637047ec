// The /proc/self/status scanner and value parser on arbitrary text. On any bytes neither
// may crash or read out of bounds. On well-formed UTF-8, which the oracle needs, each must
// agree with an oracle that decodes code points and splits words on the Unicode
// White_Space set, where the parser matches byte patterns.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "fuzz_check.h"
#include "probe/proc_self.h"

namespace {

// Code points of well-formed UTF-8.
std::u32string decode(std::string_view text) {
    std::u32string out;
    for (std::size_t pos = 0; pos < text.size();) {
        const auto lead = static_cast<std::uint8_t>(text[pos]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (text[pos + i] & 0x3F);
        out.push_back(c);
        pos += length;
    }
    return out;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The first word after the key as an unsigned 64-bit decimal, optionally with a '+', or
// the error message, checking each character for a digit before the value for overflow.
std::string expected_value(std::string_view key, std::string_view rest) {
    const std::u32string text = decode(rest);
    const auto start = std::find_if_not(text.begin(), text.end(), is_white_space);
    std::u32string word(start, std::find_if(start, text.end(), is_white_space));
    const std::string failure = "malformed " + std::string(key) + " in /proc/self/status: ";
    if (word.empty()) return failure + "empty value";
    if (word.front() == U'+') word.erase(0, 1);
    if (word.empty()) return failure + "invalid digit found in string";
    unsigned __int128 value = 0;
    for (const char32_t c : word) {
        if (c < U'0' || c > U'9') return failure + "invalid digit found in string";
        value = value * 10 + (c - U'0');
        if (value > std::numeric_limits<std::uint64_t>::max()) {
            return failure + "number too large to fit in target type";
        }
    }
    return std::to_string(static_cast<std::uint64_t>(value));
}

bool is_number(const std::string& outcome) { return !outcome.starts_with("malformed"); }

// Lines in order; the last value of each key counts, an error ends the scan, and so does
// having seen a non-zero value for both.
std::string expected_scan(std::string_view text) {
    std::string rss = "0", vms = "0";
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t newline = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, newline - start);
        start = newline + 1;
        for (const auto& [prefix, key, value] :
             {std::tuple{std::string_view("VmRSS:"), "VmRSS", &rss},
              std::tuple{std::string_view("VmSize:"), "VmSize", &vms}}) {
            if (!line.starts_with(prefix)) continue;
            std::string outcome = expected_value(key, line.substr(prefix.size()));
            if (!is_number(outcome)) return outcome;
            *value = std::move(outcome);
        }
        if (rss != "0" && vms != "0") break;
    }
    return rss + " " + vms;
}

template <class Expected, class Format>
std::string outcome_of(const Expected& parsed, Format&& format) {
    return parsed ? format(*parsed) : parsed.error().message();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace detail = ipc_probe::detail;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto value = detail::parse_status_value("VmRSS", text);
    const auto scanned = detail::scan_status(text);
    if (!ipc_probe::is_valid_utf8(text)) return 0;

    fuzz::check_equal("parse_status_value agrees with the code-point oracle",
                      outcome_of(value, [](std::uint64_t v) { return std::to_string(v); }),
                      expected_value("VmRSS", text));
    fuzz::check_equal("scan_status agrees with the line-by-line oracle",
                      outcome_of(scanned, [](const detail::StatusValues& v) {
                          return std::to_string(v.rss_kib) + " " + std::to_string(v.vms_kib);
                      }),
                      expected_scan(text));
    return 0;
}
