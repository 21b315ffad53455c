// The configuration checker: one small configuration per trap, with its exit status and the line
// and gist of each finding; the bundled example checks clean, through the library and the tool.
#include "tools/ConfigCheck.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <utility>

#include "TestSupport.h"

namespace {

// Clean: one handler on one event with a uevent hint, held by one enabled monitor (lines 1-7).
const std::string kBase =
        "global.log_dump_path=/data/dumps\nhandler.h.dump=d\nhandler.h.on=1\nevent.e.uevent=u\n"
        "event.e.handler.h.on=1\nmonitor.m.enable=1\nmonitor.m.event=e\n";

TEST(ConfigCheckTest, EachTrapGivesItsFinding) {
    const std::string base2 = kBase.substr(kBase.find('\n') + 1);  // no log_dump_path
    const std::string g = "event.g.handler.h.on=1\nmonitor.m.event=g\n";
    // The file ("<dir>": a directory, "<none>": a missing file), then a pattern of its exit status
    // and findings, one per line; "@" is the file's path and "*" any text.
    const std::pair<std::string, std::string> rows[] = {
            {kBase, "0"},
            {kBase + "handler.h.on=true\n", "1 @:8: warning: value \"true\" of \"on\" *0 (off)"},
            {kBase + "handler.h.level=high\n", "1 @:8: warning: value \"high\" of \"level\" *0"},
            {kBase + "global.max_dump_space=1G\n", "1 @:8: warning: value \"1G\" *reads 1"},
            {kBase + "event.e.policy=Once\n", "1 @:8: warning: policy \"Once\" is neither*"},
            {kBase + "handler. h.on=1\n", "1 @:8: warning: name \" h\" has blanks at an end*"},
            {kBase + "handler.h.dumpx=d\n", "1 @:8: warning: \"dumpx\" is read as \"dump\": *"},
            {"foo.bar=1\n" + kBase, "1 @:1: warning: section word \"foo\" is unknown: *"},
            {"// " + std::string(1100, 'x') + "\n" + kBase, "1 @:1: warning: line of 1104 bytes*"},
            {kBase + std::string("global.kmsg_grep=1\0x\n", 21), "1 @:8: warning: *a NUL byte*"},
            {kBase + "event.f.uevent=v\n", "1 @:8: warning: event \"f\" is held by no enabled*"},
            {kBase + g, "1 @:8: warning: event \"g\" has neither key word nor uevent hint*"},
            {kBase + g + "event.g.uevent=w\n",
             "1 @:10: warning: monitor \"m\" took its copy of event \"g\" before this line, so the "
             "copy misses it: no uevent raises the event by this hint\n"
             "@:8: warning: event \"g\" got its uevent hints*"},
            // Each line that changes an event after the monitor took its copy, and what the copy
            // misses; a monitor that stays off takes nothing that matters.
            {kBase + "event.e.handler.h.level=1\nevent.e.policy=once\nevent.e.key_word=k\n"
                     "event.e.interval=5\nmonitor.n.event=e\nevent.e.uevent=v\n",
             "1 @:8: warning: *: the handler's set-up command never runs, and the report does not "
             "show it\n@:9: warning: *: the policy applies, but the report does not show it\n"
             "@:10: warning: *: no detector looks for this key word\n"
             "@:11: warning: *: the interval applies, but the report does not show it\n"
             "@:13: warning: monitor \"m\" took *: no uevent raises the event by this hint"},
            {"global.log_dump_path=/d\nevent.e.uevent=u\nevtgroup.g.event=e\nmonitor.m.enable=1\n"
             "monitor.m.evtgroup=g\nevent.e.key_word=k\n",
             "1 @:6: warning: event group \"g\" took its copy of event \"e\" *no detector looks*"},
            {kBase + "handler.k.dump=x\n", "1 @:8: warning: handler \"k\" is attached to no*"},
            {kBase + "monitor.m.level=50\n", "1 @:4: warning: handler \"h\"*100 is above*(50)"},
            {kBase + "event.e.key_word=k\nglobal.kmsg_grep=0\nglobal.logcat_grep=0\n",
             "1 @:8: warning: key words are never searched: *"},
            {"global.log_dump_path=dumps\n" + base2, "1 @:1: warning: *\"dumps\" is relative*"},
            {base2, "1 @:1: warning: log_dump_path is not set: dumps go to the root directory"},
            {kBase + "global.additional_conf_path=/n/x\n", "1 @:8: warning: *\"/n/x\" cannot be*"},
            {kBase + "global.additional_conf_path=n.conf\n",
             "1 @:8: warning: additional_conf_path \"n.conf\" is relative: the daemon resolves it "
             "against its own working directory, / on a device; *\n@:8: warning: *cannot be*"},
            {kBase + "global.additional_conf_path=/dev/zero\n",
             "2 @:8: error: \"/dev/zero\" is a device, not a regular file: the daemon refuses*"},
            {kBase + "global.min_free_space=-1\n", "2 @:8: error: the parse fails here: *"},
            {kBase + "global.max_dump_count=0\n", "1 @:8: warning: max_dump_count 0 keeps every*"},
            {kBase + "event.f.uevent=u\nmonitor.m.event=f\n", "1 @:8: warning: *\"e\" too: both*"},
            {kBase + "handler.h.timeout=0\n", "1 @:8: warning: \"timeout\" 0 means no limit*"},
            {kBase + "event.e.match=K=\n",
             "1 @:8: warning: *this match\n@:4: warning: uevent match \"K=\" has an empty*"},
            {kBase + "event.e.match=K\n", "2 @:8: error: the parse fails here: *"},
            {kBase + "handler.h.bogus=1\n", "2 @:8: error: the parse fails here: *"},
            {kBase + "monitor.m.enable=0\n", "2 @:6: error: no monitor is enabled*\n@:4: warning*"},
            {"<dir>", "2 @:1: error: \"@\" is a directory, not a regular file: the daemon *"},
            {"<fifo>", "2 @:1: error: \"@\" is a FIFO, not a regular file: the daemon *"},
            {"<zero>", "2 @:1: error: \"@\" is a device, not a regular file: the daemon *"},
            // Read through in pieces: skipped with its length, the memory used stays flat.
            {"<long>", "1 @:1: warning: line of 10485761 bytes*"},
            {"<none>", "2 @:1: error: cannot open \"@\": No such file or directory"},
    };
    for (const auto& [text, pattern] : rows) {
        SCOPED_TRACE(text.substr(0, 200));
        tarnd_test::ScratchDir dir;
        std::string path = text == "<dir>"    ? dir.path()
                           : text == "<zero>" ? "/dev/zero"
                                              : dir.file("c.conf");
        if (text[0] != '<') tarnd_test::writeFile(path, text);
        if (text == "<fifo>") {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        }
        if (text == "<long>") tarnd_test::writeLongLine(path, 10 << 20, kBase);
        const long peakKiB = tarnd_test::peakMemoryKiB();
        android::tarnd::ConfigCheckResult result = android::tarnd::checkConfig(path.c_str());
        EXPECT_LT(tarnd_test::peakMemoryKiB() - peakKiB, 4096);
        std::string got = std::to_string(result.status);
        for (const std::string& line : result.findings) got += (got.size() > 1 ? "\n" : " ") + line;
        EXPECT_TRUE(tarnd_test::matches(pattern, tarnd_test::replaceAll(got, path, "@"))) << got;
        // The daemon logs its report only once every line went through.
        EXPECT_EQ(result.report.empty(), pattern.find("error: the parse") != std::string::npos ||
                                                 (text[0] == '<' && text != "<long>"));
    }
}

// The tool prints the parser's messages as the daemon logs them, the report, then the findings;
// run as the tests run (an emulator in a cross build).
TEST(ConfigCheckTest, ToolPrintsMessagesReportAndFindings) {
    tarnd_test::ScratchDir dir;
    tarnd_test::writeFile(dir.file("c.conf"), kBase + "handler.h.bogus=1\n");
    const std::string example = TARND_SOURCE_DIR "/examples/tarndebug.conf";
    const std::string tool = TARND_TOOL_EMULATOR " " TARND_BINARY_DIR "/tools/tarnd-check ";
    // Arguments, then a pattern of the exit status and the output.
    const std::pair<std::string, std::string> rows[] = {
            {example, "0 Config File Path: @\nLog Dump Path: /data/tarnd/dumps\n*"},
            {dir.file("c.conf"),
             "2 E/TarnDebugService: Unknown key word bogus=1\n*: handler.h.bogus=1\n"
             "@:8: error: the parse fails here: the daemon watches for no event\n"},
            {"a b", "64 *"},
    };
    for (const auto& [arguments, pattern] : rows) {
        SCOPED_TRACE(arguments);
        FILE* pipe = popen((tool + arguments + " 2>/dev/null").c_str(), "r");
        std::string out;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
        int status = pclose(pipe);
        out = std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + out;
        EXPECT_TRUE(tarnd_test::matches(pattern, tarnd_test::replaceAll(out, arguments, "@")))
                << out;
        EXPECT_EQ(out.find("warning:"), std::string::npos) << out;
    }
}

}  // namespace
