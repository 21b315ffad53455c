#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::tarnd::TarnDebugService;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

namespace {

// " key=value", or nothing when the value is the default one.
std::string field(const char* key, const std::string& value, const std::string& byDefault = "") {
    return value == byDefault ? "" : " "s + key + "=" + value;
}

std::string num(const char* key, int value, int byDefault, bool shown = true) {
    return shown ? field(key, std::to_string(value), std::to_string(byDefault)) : "";
}

std::string listText(const char* key, const android::Vector<android::String8>& list) {
    std::string out;
    for (const auto& v : list) out += (out.empty() ? " "s + key + "=[" : "|"s) + v.string();
    return out.empty() ? out : out + "]";
}

// Only what differs from a default record is shown, so that each expectation names its effect.
std::string handlerText(const TarnDebugService::Handler& h, const std::string& head) {
    return head + h.mName.string() + ":" + field("dump", h.mDumpCmd.string()) +
           num("level", h.mLevel, 100) + (h.mEnabled ? " on" : "") +
           num("timeout", h.mTimeout, -1, h.mTimeoutSet) + listText("epara", h.mEnableParas) + "\n";
}

std::string eventsText(const android::Vector<TarnDebugService::Event>& events,
                       const std::string& indent) {
    std::string out;
    for (const auto& e : events) {
        out += indent + "event " + e.mName.string() + ":" + num("policy", e.mPolicy, 1) +
               num("interval", e.mInterval, -1, e.mIntervalSet) +
               listText("uevent", e.mUeventHints) + listText("key_word", e.mKeyWords) + "\n";
        for (const auto& h : e.mHandlers) out += handlerText(h, indent + "  handler ");
    }
    return out;
}

// Every record the parser can touch: settings, then the lists in declaration order.
std::string recordsText(const TarnDebugService& s) {
    std::string out = field("log_dump_path", s.mLogDumpPath.string()) +
                      field("additional_conf_path", s.mAdditionalConfPath.string()) +
                      (s.mUseAdditionalConf ? " use_additional" : "") +
                      num("logcat_grep", s.mLogcatGrep, 1) + num("kmsg_grep", s.mKmsgGrep, 1) +
                      num("max_dump_count", s.mMaxDumpCount, 10) +
                      num("max_dump_space", s.mMaxDumpSpace, 1024) +
                      num("min_free_space", s.mMinFreeSpace, 512) +
                      num("command_timeout", s.mCommandTimeout, -1, s.mCommandTimeoutSet);
    out = out.empty() ? "" : "global:" + out + "\n";
    for (const auto& h : s.mGlobalHandlers) out += handlerText(h, "ghandler ");
    for (const auto& h : s.mHandlers) out += handlerText(h, "handler ");
    out += eventsText(s.mEvents, "");
    for (const auto& gr : s.mEventGroups)
        out += "evtgroup "s + gr.mName.string() + ":\n" + eventsText(gr.mEvents, "  ");
    for (const auto& m : s.mMonitors)
        out += "monitor "s + m.mName.string() + ":" + (m.mEnabled ? " enable" : "") +
               num("level", m.mLevel, 100) + "\n" + eventsText(m.mEvents, "  ");
    return out;
}

// A file, its error messages and the records it leaves ("?": not checked). "@" stands for the
// generic message about the failing line, the text's last one, and "@v" for a value's two; a
// failing line is the last one the parse reads. Source line numbers in messages read "%d".
struct ParseRow {
    std::string text;
    Lines messages;
    std::string records = "?";
};

TEST(ConfigParserTest, RecordsMessagesAndFailingLines) {
    // Blanks that make a line of 14 bytes 1022 long: 1023 with its newline, the longest one read.
    const std::string pad(1008, ' ');
    auto unknown = [](const std::string& line) { return "Config file parsing error: " + line; };
    std::vector<ParseRow> rows = {
            // Which lines are setting lines at all. Section words match by their beginning, except
            // the global one; names keep their blanks. The length check counts every byte read,
            // not the text up to a NUL; the longest line is 1023 characters, newline included, or
            // 1023 without one at the end.
            {"# no dot\n//global.kmsg_grep=0\n/global.kmsg_grep=0\n // x.y=1\n#global.kmsg_grep=0\n"
             " global.kmsg_grep=0\n.\nglobal2.max_dump_count=3\nGlobal.max_dump_count=3\n"
             "..global...max_dump_count=4\nhandlers.h.on=1\nmonitors.m.enable=1\n"
             "handler.k.dump=x\r\nhandler. k .on=1\nhandler.n.on=1\0"s +
                     pad + "\nhandler.l.on=1" + pad + "\nhandler.g.on=1 " + pad +
                     "\nhandler.j.on=1 " + pad,
             {unknown("/global.kmsg_grep=0\n"), unknown(" // x.y=1\n"),
              unknown("#global.kmsg_grep=0\n"), unknown(" global.kmsg_grep=0\n"), unknown(".\n"),
              unknown("global2.max_dump_count=3\n"), unknown("Global.max_dump_count=3\n")},
             "global: max_dump_count=4\nhandler h: on\nhandler k: dump=x\r\nhandler  k : on\n"
             "handler l: on\nhandler j: on\nmonitor m: enable\n"},
            // Keys match by their beginning; numbers are what atoi reads, seconds are kept between
            // 0 (no limit, no interval) and a day; a list grows.
            {"global.max_dump_count=512MB\nglobal.max_dump_space= 7\nglobal.min_free_space=none\n"
             "global.kmsg_grep=true\nglobal.logcat_grep=0\n"
             "global.additional_conf_path=/nonexistent/x\nglobal.command_timeout=abc\n"
             "handler.a.dumpx=x.y\nhandler.a.on=-1\nhandler.a.timeout=-5\n"
             "handler.b.timeout=99999999999\nhandler.b.epara=/a, b\nhandler.b.epara=/c\n"
             "ghandler.g.timeout=30s\nevent.e.handler.a.timeout=7\nevent.e.interval=10\n"
             "event.e.policy=ONCE\nevent.d.policy=once\nevent.d.policy=all\n",
             {},
             "global: additional_conf_path=/nonexistent/x logcat_grep=0 kmsg_grep=0 "
             "max_dump_count=512 max_dump_space=7 min_free_space=0 command_timeout=0\n"
             "ghandler g: timeout=30\nhandler a: dump=x.y on timeout=0\n"
             "handler b: timeout=86400 epara=[/a, b|/c]\nevent e: interval=10\n"
             "  handler a: dump=x.y on timeout=7\nevent d:\n"},
            // Records reach each other only by copy, taken when the line is read.
            {"handler.h.dump=a\nevent.e.handler.h.level=1\nevent.e.handler.h.on=1\n"
             "handler.h.dump=b\nevent.a.policy=1\nevent.b.policy=1\nevent.c.policy=1\n"
             "evtgroup.g.event=b\nevtgroup.g.event=a\nevtgroup.g.event=b\nmonitor.m.event=a\n"
             "monitor.m.evtgroup=g\nevent.a.key_word=K\nmonitor.m.event=c\nmonitor.m.event=a\n"
             "monitor.n.evtgroup=none\n",
             {},
             "handler h: dump=b\nevent e:\n  handler h: dump=a level=1 on\nevent a: key_word=[K]\n"
             "event b:\nevent c:\nevtgroup g:\n  event b:\n  event a:\nmonitor m:\n  event a:\n"
             "  event b:\n  event c:\nmonitor n:\n"},
            // A failing line keeps what came before it, and the record it named.
            {"global.max_dump_count=3\nhandler.h.bogus=1\nhandler.k.on=1\n",
             {"Unknown key word bogus=1\n in handler section",
              "Config file parsing error at line %d: handler.h.bogus=1\n"},
             "global: max_dump_count=3\nhandler h:\n"},
            // clang-format off
            {".", {}, ""},  // a line of one byte is not even read
            {"...", {"@"}, ""},
            {"global.", {"@", "@"}},
            {"global.\n", {"Unknown key word \n in global section", "@"}},
            {"event.e.level=1\n", {"Unknown key word level=1\n in event section", "@"}},
            {"event.e.handler", {"@", "@"}},
            {"ghandler.h.on=1\nevent.e.handler.h.on=1\n", {"@", "@"}},
            {"handler.h.on=1\nevent.e.handler.h.level=\n", {"@v", "@", "@"}},
            {"evtgroup.g.event=e\n", {"@", "@"}},
            {"evtgroup.g.x=e\n", {"Unknown key word x=e\n in event group section", "@"}},
            {"monitor.m.event=e\n", {"@", "@"}},
            {"monitor.m.Enable=a.b\n", {"Unknown key word Enable=a in monitor section", "@"}},
            // clang-format on
    };
    // The value rules: a line's value.
    // clang-format off
    const std::pair<const char*, const char*> values[] = {
            {"=   v\n", "v"}, {" =v\n", "v"}, {"=\tv\n", "\tv"}, {"=v w \t  \n", "v w \t"},
            {"=v\r\n", "v\r"}, {"=v", "v"}, {"=a b=c\n", "a b=c"}, {"=  \" a  \"\n", " a"},
            {"=\"  \"", ""}, {"=\"a\"b\"\n", "a\"b"}, {"=   \"x=y\n", "y"}, {"= =\n", "="},
            {"=echo a=\"b\"\n", "echo a=\"b\""}};
    // clang-format on
    for (const auto& [line, value] : values)
        rows.push_back({"handler.h.dump"s + line, {}, "handler h:" + field("dump", value) + "\n"});
    // A key of each kind in each section, with a line that has no value, each form in turn:
    // nothing or blanks after the "=", an empty or unclosed quote, text after the closing one, no
    // "=" at all.
    // clang-format off
    const char* forms[] = {"=\n", "= \n", "=\"\"\n", "=\"a\n", "=\"a\" b\n", "=\"a\"\r\n", " v\n"};
    // clang-format on
    std::istringstream keys(
            "global.log_dump_path global.additional_conf_path global.logcat_grep "
            "global.command_timeout handler.h.dump handler.h.level handler.h.dpara "
            "handler.h.timeout event.e.key_word event.e.match event.e.policy event.e.interval "
            "evtgroup.g.event monitor.m.enable monitor.m.event monitor.m.evtgroup");
    for (std::string key; keys >> key;)
        rows.push_back({key + forms[rows.size() % std::size(forms)], {"@v", "@"}});
    // A count or a size below 0 fails its line; 0 is taken.
    for (const char* key : {"max_dump_count", "max_dump_space", "min_free_space", "allowed_uid"}) {
        rows.push_back({"global."s + key + "=-1\n", {"Set value failed at line %d", "@"}});
        rows.push_back({"global."s + key + "=0\n", {}});
    }
    tarnd_test::ScratchDir dir;
    for (const ParseRow& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 100));
        std::string line = row.text.substr(row.text.rfind('\n', row.text.size() - 2) + 1);
        Lines expected;
        for (const std::string& m : row.messages) {
            if (m == "@v") expected.push_back("Invalid line in config file: " + line);
            expected.push_back(m == "@v"  ? "Set value failed at line %d"
                               : m == "@" ? "Config file parsing error at line %d: " + line
                                          : m);
        }
        auto service = tarnd_test::makeService(dir.file("missing.conf"), dir.path());
        tarnd_test::writeFile(dir.file("test.conf"), row.text);
        tarnd_host::LogCapture log;
        bool fails = !expected.empty() && expected.back().find(" at line %d") != std::string::npos;
        EXPECT_EQ(service->parseConfig(dir.file("test.conf").c_str()),
                  fails ? android::BAD_VALUE : android::NO_ERROR);
        EXPECT_EQ(row.records == "?" ? "?" : recordsText(*service), row.records);
        Lines messages = log.messages();
        for (auto& m : messages) m = std::regex_replace(m, std::regex("line \\d+"), "line %d");
        EXPECT_EQ(messages, expected);
    }
}

// Start-up reads the main file to its end, then the additional file into the same records, and
// never a third file.
TEST(ConfigParserTest, StartupReadsTheAdditionalFileAfterTheMainOne) {
    tarnd_test::ScratchDir dir;
    const std::string main = dir.file("main.conf"), extra = dir.file("extra.conf");
    tarnd_test::writeFile(main, "handler.h.dump=a\nglobal.additional_conf_path=" + extra +
                                        "\nevent.e.handler.h.on=1\n");
    tarnd_test::writeFile(extra, "handler.h.level=3\nglobal.additional_conf_path=" + main + "\n");
    tarnd_host::LogCapture log;
    auto service = tarnd_test::makeService(main, dir.path());
    EXPECT_EQ(recordsText(*service), "global: additional_conf_path=" + main +
                                             " use_additional\nhandler h: dump=a level=3\n"
                                             "event e:\n  handler h: dump=a on\n");
    EXPECT_EQ(log.count("Use additional config file"), 2u);
}

// A configuration file that is no regular file is refused at once: the main one with the open's
// failure and what it is, the additional one like one that cannot be opened. A line of 10 MiB is
// read through in pieces and skipped, with the memory used flat.
TEST(ConfigParserTest, OnlyRegularFilesReadWithinBounds) {
    tarnd_test::ScratchDir dir;
    const std::string fifo = dir.file("fifo"), longLine = dir.file("long.conf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    tarnd_test::writeLongLine(longLine, 10 << 20, "global.max_dump_count=3\n");
    const std::string refused = ", not a regular file";
    const std::pair<std::string, std::string> rows[] = {{fifo, "a FIFO"},
                                                        {dir.path(), "a directory"},
                                                        {"/dev/zero", "a device"},
                                                        {longLine, ""}};
    for (const auto& [path, kind] : rows) {
        SCOPED_TRACE(path);
        auto service = tarnd_test::makeService(dir.file("missing.conf"), dir.path());
        tarnd_host::LogCapture log;
        const long peakKiB = tarnd_test::peakMemoryKiB();
        EXPECT_EQ(service->parseConfig(path.c_str()),
                  kind.empty() ? android::NO_ERROR : android::UNKNOWN_ERROR);
        EXPECT_LT(tarnd_test::peakMemoryKiB() - peakKiB, 4096);
        const Lines failed = {"Failed to open config file " + path,
                              "Config file " + path + " is " + kind + refused};
        EXPECT_EQ(log.messages(), kind.empty() ? Lines() : failed);
        EXPECT_EQ(service->mMaxDumpCount, kind.empty() ? 3 : 10);
        tarnd_test::writeFile(dir.file("main.conf"), "global.additional_conf_path=" + path + "\n");
        tarnd_host::LogCapture secondLog;
        EXPECT_EQ(service->parseConfig(dir.file("main.conf").c_str()), android::NO_ERROR);
        EXPECT_EQ(service->mUseAdditionalConf, kind.empty());
        const std::string second = kind.empty() ? "Use additional config file"
                                                : "Additional config file " + path + " is " + kind +
                                                          refused + ": not read";
        EXPECT_EQ(secondLog.messages(), Lines({second}));
    }
}

}  // namespace
