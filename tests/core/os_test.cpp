#include "common/os.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace ipc_probe {
namespace {

TEST(OsErrorText, AppendsTheNumberToLibcsDescription) {
    EXPECT_EQ(os_error_text(EMFILE), "Too many open files (os error 24)");
    EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
    EXPECT_EQ(os_error_text(EINVAL), "Invalid argument (os error 22)");
}

}  // namespace
}  // namespace ipc_probe
