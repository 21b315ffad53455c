// The configuration checker: one small configuration per trap, with the exact findings and exit
// status; the bundled example checks clean, through the library and through the tool.
#include "tools/ConfigCheck.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"

namespace {

using android::tarnd::checkConfig;
using android::tarnd::ConfigCheckResult;
using Lines = std::vector<std::string>;

// Clean: one handler on one event with a uevent hint, held by one enabled monitor (lines 1-7).
const std::string kBase =
        "global.log_dump_path=/data/dumps\nhandler.h.dump=d\nhandler.h.on=1\nevent.e.uevent=u\n"
        "event.e.handler.h.on=1\nmonitor.m.enable=1\nmonitor.m.event=e\n";

// "@" stands for the checked file's path.
std::string expand(std::string text, const std::string& path) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
        text.replace(at, 1, path);
    }
    return text;
}

TEST(ConfigCheckTest, EachTrapGivesItsFinding) {
    const std::string base2 = kBase.substr(kBase.find('\n') + 1);  // no log_dump_path
    // Each row: the file, then its exit status and findings, one per line. "<dir>" checks a
    // directory and "<none>" a missing file instead.
    const std::pair<std::string, std::string> rows[] = {
            {kBase, "0"},
            {kBase + "handler.h.on=true\n",
             "1 @:8: warning: value \"true\" of \"on\" is not a plain integer: the daemon reads 0 "
             "(off)"},
            {kBase + "handler.h.level=high\n",
             "1 @:8: warning: value \"high\" of \"level\" is not a plain integer: the daemon reads "
             "0"},
            {kBase + "global.max_dump_space=1G\n",
             "1 @:8: warning: value \"1G\" of \"max_dump_space\" is not a plain integer: the "
             "daemon "
             "reads 1"},
            {kBase + "event.e.policy=Once\n",
             "1 @:8: warning: policy \"Once\" is neither \"once\" nor \"every\": the daemon dumps "
             "every time"},
            {kBase + "handler. h.on=1\n",
             "1 @:8: warning: name \" h\" has blanks at an end, which make it another name\n"
             "@:8: warning: handler \" h\" is attached to no event and not global: it never runs"},
            {kBase + "handler.h.dumpx=d\n",
             "1 @:8: warning: \"dumpx\" is read as \"dump\": words match by their beginning"},
            {"foo.bar=1\n" + kBase,
             "1 @:1: warning: section word \"foo\" is unknown: the daemon skips this line"},
            {"// " + std::string(1100, 'x') + "\n" + kBase,
             "1 @:1: warning: line of 1104 bytes: the daemon skips lines of 1023 characters or "
             "more silently"},
            {kBase + std::string("global.kmsg_grep=1\0x\n", 21),
             "1 @:8: warning: the line holds a NUL byte: the daemon reads it only up to there"},
            {kBase + "event.f.uevent=v\n",
             "1 @:8: warning: event \"f\" is held by no enabled monitor: no uevent or key word "
             "raises it"},
            {kBase + "event.g.handler.h.on=1\nmonitor.m.event=g\n",
             "1 @:8: warning: event \"g\" has neither key word nor uevent hint: only sendEvent "
             "raises it"},
            {kBase + "event.g.handler.h.on=1\nmonitor.m.event=g\nevent.g.uevent=w\n",
             "1 @:8: warning: event \"g\" got its uevent hints and key words after every enabled "
             "monitor took its copy: none of them raises it"},
            {kBase + "handler.k.dump=x\n",
             "1 @:8: warning: handler \"k\" is attached to no event and not global: it never runs"},
            {kBase + "monitor.m.level=50\n",
             "1 @:4: warning: handler \"h\" of event \"e\" never runs: its level 100 is above its "
             "monitors' (50)"},
            {kBase + "event.e.key_word=k\nglobal.kmsg_grep=0\nglobal.logcat_grep=0\n",
             "1 @:8: warning: key words are never searched: kmsg_grep and logcat_grep are both 0"},
            {"global.log_dump_path=dumps\n" + base2,
             "1 @:1: warning: log_dump_path \"dumps\" is relative: dumps go below the daemon's "
             "working directory"},
            {base2, "1 @:1: warning: log_dump_path is not set: dumps go to the root directory"},
            {kBase + "global.additional_conf_path=/nonexistent/x.conf\n",
             "1 @:8: warning: additional_conf_path \"/nonexistent/x.conf\" cannot be opened: the "
             "daemon reads no second file"},
            {kBase + "global.max_dump_count=0\n",
             "1 @:8: warning: max_dump_count 0 keeps every dump: the collector removes none"},
            {kBase + "event.f.uevent=u\nmonitor.m.event=f\n",
             "1 @:8: warning: uevent hint \"u\" is on event \"e\" too: both fire"},
            {kBase + "handler.h.bogus=1\n",
             "2 @:8: error: the parse fails here: the daemon watches for no event"},
            {kBase + "monitor.m.enable=0\n",
             "2 @:6: error: no monitor is enabled: the daemon watches for no event\n"
             "@:4: warning: event \"e\" is held by no enabled monitor: no uevent or key word "
             "raises it"},
            {"<dir>", "2 @:1: error: \"@\" is a directory, not a configuration file"},
            {"<none>", "2 @:1: error: cannot open \"@\": No such file or directory"},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(text.substr(0, 200));
        tarnd_test::TempDir dir;
        std::string path = text == "<dir>" ? dir.path() : dir.file("c.conf");
        if (text[0] != '<') tarnd_test::writeFile(path, text);
        ConfigCheckResult result = checkConfig(path.c_str());
        std::string got = std::to_string(result.status);
        for (const std::string& line : result.findings)
            got += (&line == &result.findings[0] ? " " : "\n") + line;
        EXPECT_EQ(got, expand(expected, path));
        // The daemon logs its report only once every line went through.
        EXPECT_EQ(result.report.empty(),
                  expected.find("error: the parse") != std::string::npos || text[0] == '<');
    }
}

// The tool prints the parser's messages as the daemon logs them, the report, then the findings;
// run as the tests run (an emulator in a cross build).
TEST(ConfigCheckTest, ToolPrintsMessagesReportAndFindings) {
    tarnd_test::TempDir dir;
    tarnd_test::writeFile(dir.file("c.conf"), kBase + "handler.h.bogus=1\n");
    const std::string example = TARND_SOURCE_DIR "/examples/tarndebug.conf";
    const struct {
        std::string arguments, head, tail;
        int status;
    } rows[] = {
            {example, "Config File Path: " + example + "\nLog Dump Path: /data/tarnd/dumps\n", "",
             0},
            {dir.file("c.conf"), "E/TarnDebugService: Unknown key word bogus=1\n",
             ": handler.h.bogus=1\n" + dir.file("c.conf") +
                     ":8: error: the parse fails here: the daemon watches for no event\n",
             2},
            {"a b", "", "", 64},
            {"--help", "", "", 64},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        FILE* pipe = popen((TARND_TOOL_EMULATOR " " TARND_BINARY_DIR "/tools/tarnd-check " +
                            row.arguments + " 2>/dev/null")
                                   .c_str(),
                           "r");
        std::string out;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
        int status = pclose(pipe);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status);
        EXPECT_EQ(out.substr(0, row.head.size()), row.head);
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), row.tail.size())), row.tail);
        EXPECT_EQ(out.find("warning:"), std::string::npos) << out;
    }
}

}  // namespace
