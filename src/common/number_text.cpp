// Number formatting on std::to_chars: exact, locale-free and allocation-free.
#include "common/number_text.h"

#include <charconv>
#include <limits>

namespace ipc_probe {

void append_decimal(std::string& out, std::uint64_t value) {
    char buffer[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_one_decimal(std::string& out, double value) {
    // The largest finite double has 309 integer digits; sign, point and one decimal fit too.
    char buffer[std::numeric_limits<double>::max_exponent10 + 8];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    out.append(buffer, result.ptr);
}

}  // namespace ipc_probe
