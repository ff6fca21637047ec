// The /proc/self text parsers, fed what the kernel writes and what it never does.
#include "probe/proc_self.h"

#include <gtest/gtest.h>

#include <string>

namespace ipc_probe {
namespace {

using detail::parse_statm_resident;
using detail::parse_status_value;
using detail::scan_status;

std::string malformed(std::string_view key, std::string_view reason,
                      std::string_view file = "/proc/self/status") {
    return "malformed " + std::string(key) + " in " + std::string(file) + ": " + std::string(reason);
}

TEST(ParseStatusValue, ReadsTheFirstWordAsKibibytes) {
    struct Case {
        std::string_view rest;
        std::uint64_t kib;
    };
    for (const Case c : {
             Case{"\t    7890 kB", 7890},
             Case{"\t12 MB", 12},                       // the unit is never read
             Case{" +5 kB", 5},
             Case{"007", 7},
             Case{"18446744073709551615", 18446744073709551615u},
             Case{"\u00A0\u2003\u30009\u205Fx", 9},     // Unicode White_Space around the word
             Case{"\x0B\x0C\r1\u0085", 1},
         }) {
        SCOPED_TRACE(testing::PrintToString(c.rest));
        auto parsed = parse_status_value("VmRSS", c.rest);
        ASSERT_TRUE(parsed) << parsed.error().message();
        EXPECT_EQ(*parsed, c.kib);
    }
}

TEST(ParseStatusValue, RejectsValuesTheKernelNeverWrites) {
    struct Case {
        std::string_view rest, reason;
    };
    for (const Case c : {
             Case{"", "empty value"},
             Case{" \t ", "empty value"},
             Case{"\u3000\u2028", "empty value"},
             Case{"\t-5 kB", "invalid digit found in string"},
             Case{"\t12kB", "invalid digit found in string"},
             Case{"+", "invalid digit found in string"},
             Case{"-", "invalid digit found in string"},
             Case{"++5", "invalid digit found in string"},
             Case{"\uFF15", "invalid digit found in string"},  // a fullwidth digit is no digit
             Case{"\t99999999999999999999 kB", "number too large to fit in target type"},
             Case{"18446744073709551616", "number too large to fit in target type"},
             Case{"99999999999999999999x", "number too large to fit in target type"},
             Case{"1x99999999999999999999", "invalid digit found in string"},
         }) {
        SCOPED_TRACE(testing::PrintToString(c.rest));
        auto parsed = parse_status_value("VmSize", c.rest);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error().kind(), ProbeError::Kind::malformed);
        EXPECT_EQ(parsed.error().message(), malformed("VmSize", c.reason));
    }
}

TEST(ScanStatus, PicksBothKeysAndStopsOnceBothAreKnown) {
    struct Case {
        std::string_view name, text;
        std::uint64_t rss_kib, vms_kib;
    };
    for (const Case c : {
             Case{"kernel layout", "Name:\tx\nVmSize:\t  123456 kB\nVmRSS:\t    7890 kB\nVmData: 1 kB\n",
                  7890, 123456},
             Case{"no VmRSS line", "VmSize:\t5 kB\n", 0, 5},
             Case{"key only at column 0", " VmRSS: 5 kB\nvmrss: 6 kB\nVmSize: 1 kB\n", 0, 1},
             Case{"a zero does not stop the scan", "VmRSS: 0 kB\nVmSize: 2 kB\nVmRSS: 3 kB\n", 3, 2},
             Case{"a repeated key replaces the value", "VmRSS: 4 kB\nVmRSS: 5 kB\nVmSize: 1 kB\n", 5, 1},
             Case{"malformed line after both is never seen", "VmSize: 1\nVmRSS: 2\nVmRSS: x\n", 2, 1},
             Case{"CRLF line ends", "VmSize: 1\r\nVmRSS:\t2\r\n", 2, 1},
             Case{"no final line feed", "VmSize: 1\nVmRSS: 2", 2, 1},
             Case{"empty text", "", 0, 0},
         }) {
        SCOPED_TRACE(c.name);
        auto scanned = scan_status(c.text);
        ASSERT_TRUE(scanned) << scanned.error().message();
        EXPECT_EQ(scanned->rss_kib, c.rss_kib);
        EXPECT_EQ(scanned->vms_kib, c.vms_kib);
    }
}

TEST(ScanStatus, ReportsTheFirstMalformedValueBeforeBothAreKnown) {
    auto scanned = scan_status("VmSize: 1\nVmRSS:\r\nVmRSS: 2\n");
    ASSERT_FALSE(scanned);
    EXPECT_EQ(scanned.error().message(), malformed("VmRSS", "empty value"));
}

TEST(ParseStatmResident, ReadsTheSecondFieldAsPages) {
    struct Case {
        std::string_view text;
        std::uint64_t pages;
    };
    for (const Case c : {
             Case{"1089 312 201 1 0 197 0\n", 312},  // the kernel's layout
             Case{"5 7", 7},
             Case{"5 7\n", 7},
             Case{"0 18446744073709551615 0\n", 18446744073709551615u},
         }) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        auto parsed = parse_statm_resident(c.text);
        ASSERT_TRUE(parsed) << parsed.error().message();
        EXPECT_EQ(*parsed, c.pages);
    }
}

TEST(ParseStatmResident, RejectsLayoutsTheKernelNeverWrites) {
    struct Case {
        std::string_view text, reason;
    };
    for (const Case c : {
             Case{"", "empty value"},
             Case{"1089\n", "empty value"},
             Case{"1089  312 0\n", "empty value"},
             Case{"1089 +312 0\n", "invalid digit found in string"},
             Case{"1089 3x2 0\n", "invalid digit found in string"},
             Case{"1089 312\r\n", "invalid digit found in string"},
             Case{"0 18446744073709551616 0\n", "number too large to fit in target type"},
         }) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        auto parsed = parse_statm_resident(c.text);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error().kind(), ProbeError::Kind::malformed);
        EXPECT_EQ(parsed.error().message(), malformed("resident", c.reason, "/proc/self/statm"));
    }
}

}  // namespace
}  // namespace ipc_probe
