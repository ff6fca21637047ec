// The one way a fuzz target reports a broken property: the input and the two sides of the
// comparison on standard error, then abort(), which libFuzzer turns into a saved crash file.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char* property, std::string_view got, std::string_view want) {
    std::fprintf(stderr, "property broken: %s\n  got:  \"%.*s\"\n  want: \"%.*s\"\n", property,
                 static_cast<int>(got.size()), got.data(), static_cast<int>(want.size()),
                 want.data());
    std::abort();
}

inline void check_equal(const char* property, std::string_view got, std::string_view want) {
    if (got != want) fail(property, got, want);
}

}  // namespace fuzz
