#include "common/utf8.h"

#include <gtest/gtest.h>

namespace ipc_probe {
namespace {

constexpr std::string_view kFffd = "\xEF\xBF\xBD";

TEST(RepairUtf8, ReplacesEachMaximalIllFormedSubpartOnce) {
    struct Case {
        std::string_view input;
        std::string expected;
    };
    const std::string r(kFffd);
    for (const Case& c : {
             Case{"plain /dev/pts/0", "plain /dev/pts/0"},
             Case{"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
             Case{"a\xFF" "b", "a" + r + "b"},
             Case{"\xC3", r},                                 // truncated at the end
             Case{"\xE2\x82" "x", r + "x"},                    // truncated three-byte sequence
             Case{"\xF0\x9F\x98", r},                          // truncated four-byte sequence
             Case{"\xC0\xAF", r + r},                          // overlong lead: two subparts
             Case{"\xE0\x80\xAF", r + r + r},                  // overlong three-byte form
             Case{"\xED\xA0\x80", r + r + r},                  // a UTF-16 surrogate
             Case{"\xF4\x90\x80\x80", r + r + r + r},          // above U+10FFFF
             Case{"\x80\x80", r + r},                          // lone continuation bytes
             Case{"\xF1\x80\x80\xE1\x80\xC2", r + r + r},      // Unicode's own example, shortened
         }) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        EXPECT_EQ(repair_utf8(c.input), c.expected);
        EXPECT_EQ(is_valid_utf8(c.input), c.expected == c.input);
    }
}

TEST(RepairUtf8, FindsAStrayByteAnywhereInLongAsciiRuns) {
    // ASCII is skipped eight bytes at a time: a bad byte must be seen at every offset.
    for (std::size_t at = 0; at < 40; ++at) {
        SCOPED_TRACE(at);
        std::string text(40, 'a');
        text[at] = '\xFF';
        EXPECT_FALSE(is_valid_utf8(text));
        std::string expected(40, 'a');
        expected.replace(at, 1, kFffd);
        EXPECT_EQ(repair_utf8(text), expected);
        text[at] = 'b';
        EXPECT_TRUE(is_valid_utf8(text));
    }
}

}  // namespace
}  // namespace ipc_probe
