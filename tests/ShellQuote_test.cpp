#include "base/ShellQuote.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "TestSupport.h"

// Each hostile text, quoted into a command, reaches the command as the one argument it is and
// runs nothing else.
TEST(ShellQuoteTest, ReachesCommandWholeAndRunsNothingElse) {
    tarnd_test::ScratchDir dir;
    for (const char* text : {"a  ;touch p $(touch q) `touch r`", "it's", "''", "\"\\", "\n", ""}) {
        SCOPED_TRACE(text);
        std::string cmd =
                "cd " + dir.path() + " && printf %s " + android::tarnd::shellQuote(text).string();
        ASSERT_EQ(system((cmd + " > out").c_str()), 0) << cmd;
        EXPECT_EQ(tarnd_test::readFile(dir.file("out")), text);
        EXPECT_EQ(tarnd_test::listDir(dir.path()), std::vector<std::string>{"out"});
    }
}
