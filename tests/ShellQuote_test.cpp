#include "base/ShellQuote.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "TestSupport.h"

using android::shellQuote;
using android::String8;
using tarnd_test::TempDir;

// Each hostile text, quoted into a command, must reach the command as the one argument it is
// and run nothing else.
class ShellQuoteTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ShellQuoteTest, ReachesCommandWholeAndRunsNothingElse) {
    TempDir dir;
    std::string out = dir.file("out");
    String8 cmd =
            String8::format("cd %s && printf %%s %s > %s", shellQuote(dir.path().c_str()).string(),
                            shellQuote(GetParam()).string(), shellQuote(out.c_str()).string());
    ASSERT_EQ(system(cmd.string()), 0) << cmd.string();
    EXPECT_EQ(tarnd_test::readFile(out), GetParam());
    EXPECT_EQ(tarnd_test::listDir(dir.path()), std::vector<std::string>{"out"});
}

INSTANTIATE_TEST_SUITE_P(Hostile, ShellQuoteTest,
                         ::testing::Values("plain", "with blanks  inside", "x;touch pwned",
                                           "$(touch pwned)", "`touch pwned`", "it's", "'", "''",
                                           "a\"b", "back\\slash", "new\nline", "-rf", ""));
