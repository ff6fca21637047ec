// repair_utf8 and is_valid_utf8 against an oracle written from the definition rather than
// from byte-range tables: a few bytes can begin a well-formed sequence of the length their
// lead byte announces exactly when some scalar value of that length (at most U+10FFFF, no
// surrogate, no shorter form) has an encoding beginning with them. Each maximal prefix that
// cannot be completed becomes one U+FFFD, which is also what Python's
// bytes.decode("utf-8", "replace") produces.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "fuzz_check.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The sequence length a lead byte announces; 0 for a byte that cannot lead.
std::size_t announced_length(std::uint8_t lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

// Whether bytes[0, k) can be completed to a well-formed sequence of length n (k <= n).
bool completable(std::string_view bytes, std::size_t k, std::size_t n) {
    static constexpr std::uint32_t kLeadBits[] = {0, 7, 5, 4, 3};
    static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    static constexpr std::uint32_t kLongest[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    std::uint32_t bits = static_cast<std::uint8_t>(bytes[0]) & ((1u << kLeadBits[n]) - 1);
    for (std::size_t i = 1; i < k; ++i) {
        const auto byte = static_cast<std::uint8_t>(bytes[i]);
        if ((byte & 0xC0) != 0x80) return false;
        bits = (bits << 6) | (byte & 0x3F);
    }
    // The scalar values this prefix can still become, within those of length n.
    const std::uint32_t unknown_bits = 6 * static_cast<std::uint32_t>(n - k);
    const std::uint32_t first = bits << unknown_bits, last = first | ((1u << unknown_bits) - 1);
    const std::uint32_t low = std::max(first, kShortest[n]), high = std::min(last, kLongest[n]);
    return low <= high && !(low >= 0xD800 && high <= 0xDFFF);
}

std::string decode_replace(std::string_view in) {
    std::string out;
    for (std::size_t pos = 0; pos < in.size();) {
        const std::string_view rest = in.substr(pos);
        const std::size_t n = announced_length(static_cast<std::uint8_t>(rest[0]));
        std::size_t k = 0;  // the longest completable prefix present
        while (n != 0 && k < n && k < rest.size() && completable(rest, k + 1, n)) ++k;
        if (n != 0 && k == n) {
            out.append(rest.substr(0, n));
            pos += n;
        } else {
            out.append(kReplacement);
            pos += std::max<std::size_t>(k, 1);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::string repaired = ipc_probe::repair_utf8(in);
    const std::string expected = decode_replace(in);
    fuzz::check_equal("repair_utf8(x) == x.decode('utf-8', 'replace')", repaired, expected);
    if (ipc_probe::is_valid_utf8(in) != (expected == in)) {
        fuzz::fail("is_valid_utf8(x) == (x decodes without replacement)", in, expected);
    }
    if (!ipc_probe::is_valid_utf8(repaired)) fuzz::fail("repair_utf8(x) is valid", repaired, "");
    fuzz::check_equal("repair_utf8 is idempotent", ipc_probe::repair_utf8(repaired), repaired);
    return 0;
}
