// One decoder drives both validation and repair, so they never disagree.
#include "common/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ipc_probe {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `pos`, or 0 with `bad` set to the length of the
// maximal ill-formed subpart there (at least 1).
std::size_t sequence_at(std::string_view s, std::size_t pos, std::size_t& bad) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[pos + i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) return 1;

    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte; later ones are 80..BF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;       // no overlong forms
        if (lead == 0xED) high = 0x9F;      // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;       // no overlong forms
        if (lead == 0xF4) high = 0x8F;      // nothing above U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const bool in_range = pos + i < s.size() &&
                              byte(i) >= (i == 1 ? low : 0x80) && byte(i) <= (i == 1 ? high : 0xBF);
        if (!in_range) {
            bad = i;
            return 0;
        }
    }
    return length;
}

// Where the first byte that is not ASCII lies, at or after `pos`, checking eight bytes at a
// time: kernel texts are nearly all ASCII, and this runs on every snapshot.
std::size_t skip_ascii(std::string_view s, std::size_t pos) noexcept {
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    while (pos + 8 <= s.size()) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + pos, sizeof word);
        if (word & kHighBits) break;
        pos += 8;
    }
    while (pos < s.size() && static_cast<unsigned char>(s[pos]) < 0x80) ++pos;
    return pos;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
    for (std::size_t pos = skip_ascii(bytes, 0), bad = 0; pos < bytes.size();
         pos = skip_ascii(bytes, pos)) {
        const std::size_t length = sequence_at(bytes, pos, bad);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

std::string repair_utf8(std::string_view bytes) {
    if (is_valid_utf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    for (std::size_t pos = 0, bad = 0; pos < bytes.size();) {
        if (const std::size_t length = sequence_at(bytes, pos, bad)) {
            out.append(bytes.substr(pos, length));
            pos += length;
        } else {
            out.append(kReplacement);
            pos += bad;
        }
    }
    return out;
}

}  // namespace ipc_probe
