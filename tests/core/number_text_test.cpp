#include "common/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace ipc_probe {
namespace {

TEST(AppendOneDecimal, RoundsTheExactValueHalfToEven) {
    struct Case {
        double value;
        const char* text;
    };
    for (const Case c : {
             Case{0.0, "0.0"},
             Case{0.25, "0.2"},   // exact tie: down to the even digit
             Case{0.75, "0.8"},   // exact tie: up to the even digit
             Case{0.05, "0.1"},   // the double is a little above 0.05: no tie
             Case{0.35, "0.3"},   // the double is a little below 0.35
             Case{3.9990234375, "4.0"},
             Case{11.773681640625, "11.8"},
             Case{1024.0, "1024.0"},
             Case{18446744073709551615.0, "18446744073709551616.0"},
             Case{1e22, "10000000000000000000000.0"},
         }) {
        SCOPED_TRACE(c.text);
        std::string out = "x";
        append_one_decimal(out, c.value);
        EXPECT_EQ(out, std::string("x") + c.text);
    }
}

TEST(AppendOneDecimal, NeverUsesExponentFormEvenForTheLargestDouble) {
    std::string out;
    append_one_decimal(out, std::numeric_limits<double>::max());
    EXPECT_EQ(out.size(), 309u + 2u);
    EXPECT_EQ(out.substr(out.size() - 2), ".0");
}

TEST(AppendDecimal, WritesPlainDigits) {
    std::string out;
    append_decimal(out, 0);
    out += ' ';
    append_decimal(out, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(out, "0 18446744073709551615");
}

}  // namespace
}  // namespace ipc_probe
