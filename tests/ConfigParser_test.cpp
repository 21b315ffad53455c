#include <gtest/gtest.h>
#include <log/log.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using Event = TarnDebugService::Event;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

namespace {

std::string str(const String8& s) { return s.string(); }

// " key=value", or nothing when the value is the default one.
std::string field(const char* key, const std::string& value, const std::string& byDefault = "") {
    return value == byDefault ? "" : " "s + key + "=" + value;
}

std::string listText(const char* key, const android::Vector<String8>& list) {
    std::string out;
    for (size_t i = 0; i < list.size(); ++i)
        out += (i > 0 ? "|" : " "s + key + "=[") + str(list[i]);
    return out + (list.isEmpty() ? "" : "]");
}

// Only what differs from a default record is shown, so that each expectation names its effect.
std::string handlerText(const TarnDebugService::Handler& h, const std::string& head) {
    return head + str(h.mName) + ":" + field("init", str(h.mEnableCmd)) +
           field("dump", str(h.mDumpCmd)) + field("level", std::to_string(h.mLevel), "100") +
           (h.mEnabled ? " on" : "") +
           (h.mTimeoutSet ? " timeout=" + std::to_string(h.mTimeout) : "") +
           listText("epara", h.mEnableParas) + listText("dpara", h.mDumpParas) + "\n";
}

std::string eventsText(const android::Vector<Event>& events, const std::string& indent) {
    std::string out;
    for (const Event& e : events) {
        out += indent + "event " + str(e.mName) + ":" +
               field("policy", std::to_string(e.mPolicy), "1") +
               (e.mIntervalSet ? " interval=" + std::to_string(e.mInterval) : "") +
               listText("uevent", e.mUeventHints) + listText("key_word", e.mKeyWords) + "\n";
        for (const auto& h : e.mHandlers) out += handlerText(h, indent + "  handler ");
    }
    return out;
}

// Every record the parser can touch: settings, then the lists in declaration order.
std::string recordsText(const TarnDebugService& s) {
    auto number = [](const char* key, int value, int byDefault) {
        return field(key, std::to_string(value), std::to_string(byDefault));
    };
    std::string g = field("log_dump_path", str(s.mLogDumpPath)) +
                    field("additional_conf_path", str(s.mAdditionalConfPath)) +
                    (s.mUseAdditionalConf ? " use_additional" : "") +
                    number("logcat_grep", s.mLogcatGrep, 1) + number("kmsg_grep", s.mKmsgGrep, 1) +
                    number("max_dump_count", s.mMaxDumpCount, 10) +
                    number("max_dump_space", s.mMaxDumpSpace, 1024) +
                    number("min_free_space", s.mMinFreeSpace, 512) +
                    (s.mCommandTimeoutSet ? number("command_timeout", s.mCommandTimeout, -1) : "");
    std::string out = g.empty() ? "" : "global:" + g + "\n";
    for (const auto& h : s.mGlobalHandlers) out += handlerText(h, "ghandler ");
    for (const auto& h : s.mHandlers) out += handlerText(h, "handler ");
    out += eventsText(s.mEvents, "");
    for (const auto& gr : s.mEventGroups)
        out += "evtgroup " + str(gr.mName) + ":\n" + eventsText(gr.mEvents, "  ");
    for (const auto& m : s.mMonitors) {
        out += "monitor " + str(m.mName) + ":" + (m.mEnabled ? " enable" : "") +
               number("level", m.mLevel, 100) + "\n" + eventsText(m.mEvents, "  ");
    }
    return out;
}

// A fresh idle service after parsing text as the whole file. Messages are "E " (error) or "D "
// and the text, with "%d" for a source line number, which goes to sites.
struct Parsed {
    android::sp<TarnDebugService> service;
    android::status_t status;
    Lines messages, sites;
};

Parsed parse(const tarnd_test::TempDir& dir, const std::string& text) {
    Parsed p{tarnd_test::makeService(dir.file("missing.conf"), dir.path()), 0, {}, {}};
    tarnd_test::writeFile(dir.file("test.conf"), text);
    LogCapture log;
    p.status = p.service->parseConfig(dir.file("test.conf").c_str());
    for (const auto& line : log.lines()) {
        std::string m = (line.prio == ANDROID_LOG_ERROR ? "E " : "D ") + line.msg;
        size_t begin = m.find("at line ") + 8, end = std::min(m.find(": ", begin), m.size());
        if (begin >= 8) p.sites.push_back(m.substr(begin, end - begin));
        p.messages.push_back(begin < 8 ? m : m.replace(begin, end - begin, "%d"));
    }
    return p;
}

std::string unknown(const std::string& line) { return "E Config file parsing error: " + line; }

// A file, its messages and the records it leaves ("?": not checked). A message "@SITE" stands for
// a parser site reporting the failing line: the text's last one before any line starting with
// "#", which is never read once the parse failed. A "value." site logs the invalid line and "Set
// value failed"; any other the generic message.
struct ParseRow {
    std::string text;
    Lines messages;
    std::string records = "?";
};

TEST(ConfigParserTest, RecordsMessagesAndFailingSites) {
    auto xs = [](size_t n) { return std::string(n, 'x'); };
    std::vector<ParseRow> rows = {
            // Which lines are setting lines at all: a line of one byte is not even read.
            {"// a.b\n\n# no dot\nplain words\n;x=1\n//global.kmsg_grep=0\n/global.kmsg_grep=0\n"
             " // x.y=1\n#global.kmsg_grep=0\n global.kmsg_grep=0\n.\nglobal2.max_dump_count=3\n"
             "Global.max_dump_count=3\nglobal.max_dump_count=4\n.",
             {unknown("/global.kmsg_grep=0\n"), unknown(" // x.y=1\n"),
              unknown("#global.kmsg_grep=0\n"), unknown(" global.kmsg_grep=0\n"), unknown(".\n"),
              unknown("global2.max_dump_count=3\n"), unknown("Global.max_dump_count=3\n")},
             "global: max_dump_count=4\n"},
            {"..global...max_dump_count=3\nhandlers.h.on=1\nghandlerx.g.on=1\n"
             "eventful.e.policy=once\nevtgroups.g.event=e\nmonitors.m.enable=1\n",
             {},
             "global: max_dump_count=3\nghandler g: on\nhandler h: on\nevent e: policy=0\n"
             "evtgroup g:\n  event e: policy=0\nmonitor m: enable\n"},
            {"handler.h.dump=x\r\nhandler. h .on=1\n",
             {},
             "handler h: dump=x\r\nhandler  h : on\n"},
            // The length check counts every byte read, not the text up to a NUL; the longest
            // line is 1023 characters, newline included.
            {"handler.h.dump=x\0"s + xs(2000) + "\n", {}, ""},
            {"handler.h.dump=" + xs(1007) + "\nhandler.g.dump=" + xs(1008) +
                     "\nhandler.f.dump=" + xs(1 << 20) + "\nhandler.k.on=1\n",
             {},
             "handler h: dump=" + xs(1007) + "\nhandler k: on\n"},
            {"handler.k.on=1\nhandler.h.dump=" + xs(1008),
             {},
             "handler k: on\nhandler h: dump=" + xs(1008) + "\n"},
            // Keys match by their beginning; values come from the whole line.
            {"handler.a.dump=x\nhandler.b.dump = x\nhandler.c.dumpx=x.y\n",
             {},
             "handler a: dump=x\nhandler b: dump=x\nhandler c: dump=x.y\n"},
            {"global.max_dump_count=512MB\nglobal.max_dump_space= -7\nglobal.min_free_space=none\n"
             "global.kmsg_grep=true\nglobal.logcat_grep=0\nhandler.a.on=-1\nhandler.b.on=on\n"
             "global.additional_conf_path=/nonexistent/x\n",
             {},
             "global: additional_conf_path=/nonexistent/x logcat_grep=0 kmsg_grep=0 "
             "max_dump_count=512 max_dump_space=-7 min_free_space=0\nhandler a: on\nhandler b:\n"},
            {"handler.h.init=a\nhandler.h.init=\"echo 1 >  \"\nhandler.h.epara=/a, b\n"
             "handler.h.epara=/c\nghandler.g.init=x\nghandler.g.init=\"  \"\n",
             {},
             "ghandler g:\nhandler h: init=echo 1 > epara=[/a, b|/c]\n"},
            {"event.a.uevent=x\nevent.a.uevent=y, z\nevent.b.policy=ONCE\n"
             "event.c.policy=\"once  \"\nevent.d.policy=once\nevent.d.policy=always\n",
             {},
             "event a: uevent=[x|y, z]\nevent b:\nevent c: policy=0\nevent d:\n"},
            // Records reach each other only by copy, taken when the line is read.
            {"handler.h.dump=a\nevent.e.handler.h.level=1\nevent.e.handler.h.on=1\n"
             "handler.h.dump=b\n",
             {},
             "handler h: dump=b\nevent e:\n  handler h: dump=a level=1 on\n"},
            {"event.a.uevent=1\nevent.b.uevent=2\nevent.c.uevent=3\nevtgroup.g.event=b\n"
             "evtgroup.g.event=a\nevtgroup.g.event=b\nmonitor.m.event=a\nmonitor.m.evtgroup=g\n"
             "event.a.key_word=K\nmonitor.m.event=c\nmonitor.m.event=a\nmonitor.n.evtgroup=none\n",
             {},
             "event a: uevent=[1] key_word=[K]\nevent b: uevent=[2]\nevent c: uevent=[3]\n"
             "evtgroup g:\n  event b: uevent=[2]\n  event a: uevent=[1]\nmonitor m:\n"
             "  event a: uevent=[1]\n  event b: uevent=[2]\n  event c: uevent=[3]\nmonitor n:\n"},
            // Seconds are numbers kept between 0 (no limit, no interval) and a day.
            {"global.command_timeout=abc\nhandler.a.timeout=-5\nhandler.b.timeout=99999999999\n"
             "ghandler.g.timeout=30s\nevent.e.handler.a.timeout=7\nevent.e.interval=10\n",
             {},
             "global: command_timeout=0\nghandler g: timeout=30\nhandler a: timeout=0\n"
             "handler b: timeout=86400\nevent e: interval=10\n  handler a: timeout=7\n"},
            // A failing line keeps what came before it, and the record it named.
            {"global.max_dump_count=3\nhandler.h.bogus=1\n#x.y\n",
             {"E Unknown key word bogus=1\n in handler section", "@parse"},
             "global: max_dump_count=3\nhandler h:\n"},
            // clang-format off
            {"...", {"@parse"}, ""},
            {"global.", {"@global.key", "@parse"}},
            {"global.\n", {"E Unknown key word \n in global section", "@parse"}},
            {"event.e.level=1\n", {"E Unknown key word level=1\n in event section", "@parse"}},
            {"event.e.handler", {"@event.handlername", "@parse"}},
            {"ghandler.h.on=1\nevent.e.handler.h.on=1\n", {"@event.nohandler", "@parse"}},
            {"handler.h.on=1\nevent.e.handler.h.level=\n", {"@value.handler.level", "@event.handlerkey", "@parse"}},
            {"evtgroup.g.event=e\n", {"@group.noevent", "@parse"}},
            {"evtgroup.g.monitor=e\n", {"E Unknown key word monitor=e\n in event group section", "@parse"}},
            {"monitor.m.event=e\n", {"@monitor.noevent", "@parse"}},
            {"monitor.m.Enable=a.b\n", {"E Unknown key word Enable=a in monitor section", "@parse"}},
            // clang-format on
    };
    // A missing value, for every key that takes one: each has its own site, which the global
    // handler section shares with the handler section.
    std::istringstream keys(
            "global.log_dump_path global.additional_conf_path global.logcat_grep global.kmsg_grep "
            "global.max_dump_count global.max_dump_space global.min_free_space "
            "global.command_timeout handler.h.init handler.h.dump handler.h.on handler.h.level "
            "handler.h.epara handler.h.dpara handler.h.timeout ghandler.g.dump event.e.key_word "
            "event.e.uevent event.e.match event.e.policy event.e.interval evtgroup.g.event "
            "monitor.m.enable monitor.m.level monitor.m.event monitor.m.evtgroup");
    for (std::string key; keys >> key;) {
        std::string section = key[1] == 'h' ? "handler" : key.substr(0, key.find('.'));
        rows.push_back(
                {key + "= \n", {"@value." + section + key.substr(key.rfind('.')), "@parse"}});
    }
    tarnd_test::TempDir dir;
    std::map<std::string, std::string> lineOfSite;
    for (const ParseRow& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 100));
        std::string text =
                row.text.substr(0, std::min(row.text.find("\n#"), row.text.size() - 1) + 1);
        std::string line = text.substr(text.rfind('\n', text.size() - 2) + 1);
        Lines expected, sites;
        for (const std::string& m : row.messages) {
            if (m[0] == '@') sites.push_back(m.substr(1));
            if (m[0] != '@') {
                expected.push_back(m);
            } else if (m.rfind("@value.", 0) == 0) {
                expected.push_back("E Invalid line in config file: " + line);
                expected.push_back("E Set value failed at line %d");
            } else {
                expected.push_back("E Config file parsing error at line %d: " + line);
            }
        }
        Parsed p = parse(dir, row.text);
        EXPECT_EQ(p.status, sites.empty() ? android::NO_ERROR : android::BAD_VALUE);
        EXPECT_EQ(row.records == "?" ? "?" : recordsText(*p.service), row.records);
        EXPECT_EQ(p.messages, expected);
        ASSERT_EQ(p.sites.size(), sites.size());
        for (size_t i = 0; i < sites.size(); ++i) {
            EXPECT_EQ(lineOfSite.emplace(sites[i], p.sites[i]).first->second, p.sites[i]);
        }
    }
    // Each reporting statement reports a line of its own.
    std::set<std::string> distinct;
    for (const auto& site : lineOfSite) distinct.insert(site.second);
    EXPECT_EQ(distinct.size(), lineOfSite.size());
}

TEST(ConfigParserTest, ValueRules) {
    // The line and its value; nullptr when the line has none, which leaves the output alone and
    // logs the line, cut at 1023 characters.
    const std::pair<std::string, const char*> rows[] = {
            // clang-format off
            {"k=   v\n", "v"}, {"k =v\n", "v"}, {"k=\tv\n", "\tv"}, {"k=v w \t  \n", "v w \t"},
            {"k=v\r\n", "v\r"}, {"k=v", "v"}, {"k=a b=c\n", "a b=c"}, {"k=  \" a  \"\n", " a"},
            {"k=\"  \"", ""}, {"k=\"a\"b\"\n", "a\"b"}, {"k=   \"x=y\n", "y"}, {"k= =\n", "="},
            {"k=echo a=\"b\"\n", "echo a=\"b\""}, {"k=\"\"\n", nullptr}, {"k v\n", nullptr},
            {"k=\n", nullptr}, {"k=   \n", nullptr}, {"k=\"\n", nullptr}, {"k=\"abc\n", nullptr},
            {"k=\"a\" b\n", nullptr}, {"k=\"a\"\r\n", nullptr}, {"\n", nullptr},
            {"k=" + std::string(5000, 'v') + "\n", nullptr}};
    // clang-format on
    for (const auto& [line, value] : rows) {
        SCOPED_TRACE(line.substr(0, 20));
        String8 out("earlier");
        LogCapture log;
        EXPECT_EQ(TarnDebugService::getValue(line.c_str(), out),
                  value ? android::NO_ERROR : android::BAD_VALUE);
        EXPECT_EQ(str(out), value ? value : "earlier");
        Lines logged = {("Invalid line in config file: " + line).substr(0, 1023)};
        EXPECT_EQ(log.messages(), value ? Lines{} : logged);
    }
}

TEST(ConfigParserTest, MissingFileIsUnknownError) {
    tarnd_test::TempDir dir;
    Parsed p = parse(dir, "");
    LogCapture log;
    EXPECT_EQ(p.service->parseConfig(dir.file("none").c_str()), android::UNKNOWN_ERROR);
    EXPECT_EQ(log.messages(), Lines{"Failed to open config file " + dir.file("none")});
}

// The path reaches mkdir as one word, however hostile, and nothing else runs.
TEST(ConfigParserTest, LogDumpPathCreatedWholeAndRunsNothingElse) {
    tarnd_test::TempDir dir;
    const std::string path = dir.file("d/it's $(touch " + dir.file("pwned") + ");b/l");
    EXPECT_EQ(parse(dir, "global.log_dump_path=" + path + "\n").messages, Lines{});
    EXPECT_TRUE(tarnd_test::exists(path));
    EXPECT_EQ(tarnd_test::listDir(dir.path()), (Lines{"d", "test.conf"}));
}

// Start-up reads the main file to its end, then the additional file into the same records, and
// never a third file.
TEST(ConfigParserTest, AdditionalFileExtendsTheSameRecords) {
    tarnd_test::TempDir dir;
    const std::string main = dir.file("main.conf"), extra = dir.file("extra.conf");
    tarnd_test::writeFile(main, "handler.h.dump=a\nglobal.additional_conf_path=" + extra +
                                        "\nevent.e.handler.h.on=1\n");
    tarnd_test::writeFile(extra,
                          "handler.h.level=3\nevent.e.uevent=u\n"
                          "global.additional_conf_path=" +
                                  main + "\n");
    LogCapture log;
    auto service = tarnd_test::makeService(main, dir.path());
    EXPECT_EQ(recordsText(*service), "global: additional_conf_path=" + main +
                                             " use_additional\nhandler h: dump=a level=3\n"
                                             "event e: uevent=[u]\n  handler h: dump=a on\n");
    EXPECT_EQ(log.count("Use additional config file"), 2u);
}

}  // namespace
