// append_one_decimal against glibc's printf("%.1f"). Both promise the correctly rounded
// decimal of the double's exact binary value, ties to even, so they must agree on every
// double: NaNs of either sign, infinities, negative zero, subnormals and the largest values.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/number_text.h"
#include "fuzz_check.h"

namespace {

void check(double value) {
    std::string ours;
    ipc_probe::append_one_decimal(ours, value);
    char theirs[400];  // the largest double has 309 integer digits
    const int length = std::snprintf(theirs, sizeof theirs, "%.1f", value);
    fuzz::check_equal("append_one_decimal(x) == printf(\"%.1f\", x)", ours,
                      std::string_view(theirs, static_cast<std::size_t>(length)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, data, std::min(size, sizeof bits));
    // The bit pattern as it is reaches every double. Random patterns almost never land on
    // or next to a tie, so the same bits also count quarters (x.25 and x.75 are the only
    // exact ties at one decimal) or finer binary fractions, and twentieths (the doubles
    // nearest a tie, on either side).
    check(std::bit_cast<double>(bits));
    const auto count = static_cast<std::int64_t>(bits);
    const int shift = size > sizeof bits ? data[sizeof bits] % 64 : 2;
    check(std::ldexp(static_cast<double>(count), -shift));
    check(static_cast<double>(count >> 11) / 20.0);
    return 0;
}
