#include <gtest/gtest.h>
#include <log/log.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::BAD_VALUE;
using android::NO_ERROR;
using android::sp;
using android::status_t;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using Handler = TarnDebugService::Handler;
using Event = TarnDebugService::Event;
using namespace std::string_literals;

namespace {

std::string str(const String8& s) { return s.string(); }

std::vector<std::string> split(const std::string& text, char separator = ' ') {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; std::getline(in, word, separator);) out.push_back(word);
    return out;
}

std::string listText(const char* key, const android::Vector<String8>& list) {
    std::string out = list.isEmpty() ? "" : " "s + key + "=[";
    for (size_t i = 0; i < list.size(); ++i) out += (i > 0 ? "|" : "") + str(list[i]);
    return out + (list.isEmpty() ? "" : "]");
}

// Only what differs from a default record is shown, so that each expectation names its effect.
std::string handlerText(const Handler& h, const std::string& head) {
    std::string out = head + str(h.mName) + ":";
    if (!h.mEnableCmd.isEmpty()) out += " init=" + str(h.mEnableCmd);
    if (!h.mDumpCmd.isEmpty()) out += " dump=" + str(h.mDumpCmd);
    if (h.mLevel != 100) out += " level=" + std::to_string(h.mLevel);
    if (h.mEnabled) out += " on";
    if (h.mTimeoutSet) out += " timeout=" + std::to_string(h.mTimeout);
    return out + listText("epara", h.mEnableParas) + listText("dpara", h.mDumpParas) + "\n";
}

std::string eventText(const Event& e, const std::string& indent) {
    std::string out = indent + "event " + str(e.mName) + ":";
    if (e.mPolicy != 1) out += " policy=" + std::to_string(e.mPolicy);
    if (e.mIntervalSet) out += " interval=" + std::to_string(e.mInterval);
    out += listText("uevent", e.mUeventHints) + listText("key_word", e.mKeyWords) + "\n";
    for (const Handler& h : e.mHandlers) out += handlerText(h, indent + "  handler ");
    return out;
}

// Every record the parser can touch: settings, then the lists in declaration order.
std::string recordsText(const TarnDebugService& s) {
    std::string g;
    auto number = [&g](const char* key, int value, int byDefault) {
        if (value != byDefault) g += " "s + key + "=" + std::to_string(value);
    };
    if (!s.mLogDumpPath.isEmpty()) g += " log_dump_path=" + str(s.mLogDumpPath);
    if (!s.mAdditionalConfPath.isEmpty())
        g += " additional_conf_path=" + str(s.mAdditionalConfPath);
    if (s.mUseAdditionalConf) g += " use_additional";
    number("logcat_grep", s.mLogcatGrep, 1);
    number("kmsg_grep", s.mKmsgGrep, 1);
    number("max_dump_count", s.mMaxDumpCount, 10);
    number("max_dump_space", s.mMaxDumpSpace, 1024);
    number("min_free_space", s.mMinFreeSpace, 512);
    if (s.mCommandTimeoutSet) g += " command_timeout=" + std::to_string(s.mCommandTimeout);
    std::string out = g.empty() ? "" : "global:" + g + "\n";
    for (const Handler& h : s.mGlobalHandlers) out += handlerText(h, "ghandler ");
    for (const Handler& h : s.mHandlers) out += handlerText(h, "handler ");
    for (const Event& e : s.mEvents) out += eventText(e, "");
    for (const TarnDebugService::EventGroup& gr : s.mEventGroups) {
        out += "evtgroup " + str(gr.mName) + ":\n";
        for (const Event& e : gr.mEvents) out += eventText(e, "  ");
    }
    for (const TarnDebugService::Monitor& m : s.mMonitors) {
        out += "monitor " + str(m.mName) + ":" + (m.mEnabled ? " enable" : "") +
               (m.mLevel != 100 ? " level=" + std::to_string(m.mLevel) : "") + "\n";
        for (const Event& e : m.mEvents) out += eventText(e, "  ");
    }
    return out;
}

// What follows "at line " up to ": " or the end (a source line number, or a site's name in an
// expectation) becomes "%d" and is appended to found.
std::string siteless(std::string m, std::vector<std::string>* found) {
    size_t begin = m.find("at line ");
    if (begin == std::string::npos) return m;
    begin += 8;
    size_t end = std::min(m.find(": ", begin), m.size());
    found->push_back(m.substr(begin, end - begin));
    return m.replace(begin, end - begin, "%d");
}

// "E text" for ERROR, "D text" for DEBUG.
std::vector<std::string> tagged(const LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& line : log.lines())
        out.push_back((line.prio == ANDROID_LOG_ERROR ? "E " : "D ") + line.msg);
    return out;
}

std::string generic(const std::string& line, const std::string& site = "parse") {
    return "E Config file parsing error at line " + site + ": " + line;
}
std::string unknown(const std::string& line) { return "E Config file parsing error: " + line; }

class ConfigParserTest : public ::testing::Test {
  protected:
    void SetUp() override { fresh(); }

    // A missing file leaves an idle service with default records.
    void fresh() {
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        ASSERT_EQ(mService->mStopped, 1);
    }

    // "@TMP@" stands for the test's directory.
    std::string expand(std::string text) const {
        for (size_t p = text.find("@TMP@"); p != std::string::npos; p = text.find("@TMP@", p)) {
            text.replace(p, 5, mDir.path());
        }
        return text;
    }

    // Parses text as the whole file; mMessages gets the log with "%d" for the source line numbers,
    // which go to mSites.
    status_t parse(const std::string& text) {
        tarnd_test::writeFile(mDir.file("test.conf"), text);
        LogCapture log;
        status_t status = mService->parseConfig(mDir.file("test.conf").c_str());
        mMessages.clear();
        mSites.clear();
        for (const std::string& m : tagged(log)) mMessages.push_back(siteless(m, &mSites));
        return status;
    }

    tarnd_test::TempDir mDir;
    sp<TarnDebugService> mService;
    std::vector<std::string> mMessages;
    std::vector<std::string> mSites;
};

// A file, the records it leaves and its messages; the file fails when the last message is the
// generic one.
struct ParseCase {
    std::string text;
    std::string records;
    std::vector<std::string> messages = {};
};

TEST_F(ConfigParserTest, RecordsAndMessages) {
    auto xs = [](size_t n) { return std::string(n, 'x'); };
    const ParseCase cases[] = {
            // Which lines are setting lines at all.
            {"// a.b\n\n# no dot\nplain words\n;x=1\n//global.kmsg_grep=0", "", {}},
            {"/global.kmsg_grep=0\n // x.y=1\n#global.kmsg_grep=0\n global.kmsg_grep=0\n.\n.",
             "",
             {unknown("/global.kmsg_grep=0\n"), unknown(" // x.y=1\n"),
              unknown("#global.kmsg_grep=0\n"), unknown(" global.kmsg_grep=0\n"), unknown(".\n")}},
            {"global2.max_dump_count=3\nGlobal.max_dump_count=3\nglobal.max_dump_count=4\n",
             "global: max_dump_count=4\n",
             {unknown("global2.max_dump_count=3\n"), unknown("Global.max_dump_count=3\n")}},
            {"handlers.h.on=1\nghandlerx.g.on=1\neventful.e.policy=once\nevtgroups.g.event=e\n"
             "monitors.m.enable=1\n",
             "ghandler g: on\nhandler h: on\nevent e: policy=0\nevtgroup g:\n  event e: policy=0\n"
             "monitor m: enable\n"},
            {"..global...max_dump_count=3\nglobal.kmsg_grep=0",
             "global: kmsg_grep=0 max_dump_count=3\n"},
            {"handler.h.dump=x\r\nhandler. h .on=1\n", "handler h: dump=x\r\nhandler  h : on\n"},
            // The length check counts every byte read, not the text up to a NUL.
            {"handler.h.dump=x\0"s + xs(2000) + "\n", ""},
            // The longest line is 1023 characters, newline included.
            {"handler.h.dump=" + xs(1007) + "\nhandler.k.on=1\n",
             "handler h: dump=" + xs(1007) + "\nhandler k: on\n"},
            {"handler.h.dump=" + xs(1008) + "\nhandler.k.on=1\n", "handler k: on\n"},
            {"handler.k.on=1\nhandler.h.dump=" + xs(1008),
             "handler k: on\nhandler h: dump=" + xs(1008) + "\n"},
            {"handler.k.on=1\nhandler.h.dump=" + xs(1009), "handler k: on\n"},
            {"handler.h.dump=" + xs(1 << 20) + "\nhandler.k.on=1\n", "handler k: on\n"},
            // Keys match by their beginning; values come from the whole line.
            {"handler.a.dump=x\nhandler.b.dump = x\nhandler.c.dumpx=x.y\n",
             "handler a: dump=x\nhandler b: dump=x\nhandler c: dump=x.y\n"},
            {"global.max_dump_count=512MB\nglobal.max_dump_space= -7\nglobal.min_free_space=none\n"
             "global.kmsg_grep=true\nglobal.logcat_grep=0\nhandler.a.on=-1\nhandler.b.on=on\n"
             "global.additional_conf_path=@TMP@/none\n",
             "global: additional_conf_path=@TMP@/none logcat_grep=0 kmsg_grep=0 max_dump_count=512 "
             "max_dump_space=-7 min_free_space=0\nhandler a: on\nhandler b:\n"},
            {"handler.h.init=a\nhandler.h.init=\"echo 1 >  \"\nhandler.h.epara=/a, b\n"
             "handler.h.epara=/c\nghandler.g.init=x\nghandler.g.init=\"  \"\n",
             "ghandler g:\nhandler h: init=echo 1 > epara=[/a, b|/c]\n"},
            {"event.a.uevent=x\nevent.a.uevent=y, z\nevent.b.policy=ONCE\n"
             "event.c.policy=\"once  \"\nevent.d.policy=once\nevent.d.policy=always\n",
             "event a: uevent=[x|y, z]\nevent b:\nevent c: policy=0\nevent d:\n"},
            // Records reach each other only by copy, taken when the line is read.
            {"handler.h.dump=a\nevent.e.handler.h.level=1\nevent.e.handler.h.on=1\n"
             "handler.h.dump=b\n",
             "handler h: dump=b\nevent e:\n  handler h: dump=a level=1 on\n"},
            {"event.a.uevent=1\nevent.b.uevent=2\nevent.c.uevent=3\nevtgroup.g.event=b\n"
             "evtgroup.g.event=a\nevtgroup.g.event=b\nmonitor.m.event=a\nmonitor.m.evtgroup=g\n"
             "event.a.key_word=K\nmonitor.m.event=c\nmonitor.m.event=a\nmonitor.n.evtgroup=none\n",
             "event a: uevent=[1] key_word=[K]\nevent b: uevent=[2]\nevent c: uevent=[3]\n"
             "evtgroup g:\n  event b: uevent=[2]\n  event a: uevent=[1]\nmonitor m:\n"
             "  event a: uevent=[1]\n  event b: uevent=[2]\n  event c: uevent=[3]\nmonitor n:\n"},
            // Seconds are numbers kept between 0 (no limit, no interval) and a day.
            {"global.command_timeout=abc\nhandler.a.timeout=-5\nhandler.b.timeout=99999999999\n"
             "ghandler.g.timeout=30s\nevent.e.handler.a.timeout=7\nevent.e.interval=10\n",
             "global: command_timeout=0\nghandler g: timeout=30\nhandler a: timeout=0\n"
             "handler b: timeout=86400\nevent e: interval=10\n  handler a: timeout=7\n"},
            {"event.e.interval=\n",
             "event e:\n",
             {"E Invalid line in config file: event.e.interval=\n", "E Set value failed at line %d",
              generic("event.e.interval=\n", "%d")}},
            // A failing line keeps what came before it, and the record it named.
            {"global.max_dump_count=3\nhandler.h.bogus=1\nglobal.max_dump_count=4\n",
             "global: max_dump_count=3\nhandler h:\n",
             {"E Unknown key word bogus=1\n in handler section",
              generic("handler.h.bogus=1\n", "%d")}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 200));
        fresh();
        bool fails = !c.messages.empty() && c.messages.back().rfind(generic("", "%d"), 0) == 0;
        EXPECT_EQ(parse(expand(c.text)), fails ? BAD_VALUE : NO_ERROR);
        EXPECT_EQ(recordsText(*mService), expand(c.records));
        EXPECT_EQ(mMessages, c.messages);
    }
}

TEST(GetValueTest, ValueRules) {
    // The line and its value; nullptr when the line has no valid value.
    const std::pair<std::string, const char*> rows[] = {
            {"k=   v\n", "v"},
            {"k =v\n", "v"},
            {"k=\tv\n", "\tv"},
            {"k=v w \t  \n", "v w \t"},
            {"k=v\r\n", "v\r"},
            {"k=v", "v"},
            {"k=dd if=/dev/zero of=out bs=1 count=1\n", "dd if=/dev/zero of=out bs=1 count=1"},
            {"k=  \" a  \"\n", " a"},
            {"k=\"  \"", ""},
            {"k=\"a\"b\"\n", "a\"b"},
            {"k=   \"x=y\n", "y"},
            {"k= =\n", "="},
            {"k=echo a=\"b\"\n", "echo a=\"b\""},
    };
    const std::string invalid[] = {"k=\"\"\n",    "k v\n",
                                   "k=\n",        "k=   \n",
                                   "k=\"\n",      "k=\"abc\n",
                                   "k=\"a\" b\n", "k=\"a\"\r\n",
                                   "\n",          "k=" + std::string(5000, 'v') + "\n"};
    for (const auto& [line, value] : rows) {
        String8 out("earlier");
        LogCapture log;
        EXPECT_EQ(TarnDebugService::getValue(line.c_str(), out), NO_ERROR) << line;
        EXPECT_EQ(str(out), value);
        EXPECT_TRUE(log.messages().empty());
    }
    for (const std::string& line : invalid) {
        String8 out("earlier");
        LogCapture log;
        EXPECT_NE(TarnDebugService::getValue(line.c_str(), out), NO_ERROR) << line;
        EXPECT_EQ(str(out), "earlier");
        // The log cuts a message at 1023 characters.
        std::string message = "E Invalid line in config file: " + line;
        EXPECT_EQ(tagged(log), std::vector<std::string>{message.substr(0, 1025)});
    }
}

TEST_F(ConfigParserTest, MissingFileIsUnknownError) {
    LogCapture log;
    EXPECT_EQ(mService->parseConfig(mDir.file("none").c_str()), android::UNKNOWN_ERROR);
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"Failed to open config file " + mDir.file("none")});
}

// A failing file: the message before the reports, if any, then the parser sites reporting its
// last line, in order. A "value." site logs the invalid line and "Set value failed at line %d";
// any other site the generic message.
TEST_F(ConfigParserTest, FailingLineMessagesInOrderEachSiteItsOwnLine) {
    std::vector<std::vector<std::string>> cases = {
            {"...", "", "parse"},
            {"handler.", "", "parse"},
            {"global.", "", "global.key parse"},
            {"global.\n", "E Unknown key word \n in global section", "parse"},
            {"handler.h", "", "handler.key parse"},
            {"ghandler.g", "", "handler.key parse"},
            {"handler.h. dump=x\n", "E Unknown key word  dump=x\n in handler section", "parse"},
            {"event.e", "", "event.key parse"},
            {"event.e.level=1\n", "E Unknown key word level=1\n in event section", "parse"},
            {"event.e.handler", "", "event.handlername parse"},
            {"ghandler.h.on=1\nevent.e.handler.h.on=1\n", "", "event.nohandler parse"},
            {"handler.h.on=1\nevent.e.handler.h=1\n", "", "event.nohandler parse"},
            {"handler.h.on=1\nevent.e.handler.h", "", "handler.key event.handlerkey parse"},
            {"handler.h.on=1\nevent.e.handler.h.bogus=1\n",
             "E Unknown key word bogus=1\n in handler section", "event.handlerkey parse"},
            {"handler.h.on=1\nevent.e.handler.h.level=\n", "",
             "value.handler.level event.handlerkey parse"},
            {"evtgroup.g", "", "group.key parse"},
            {"evtgroup.g.event=e\n", "", "group.noevent parse"},
            {"evtgroup.g.monitor=e\n", "E Unknown key word monitor=e\n in event group section",
             "parse"},
            {"monitor.m", "", "monitor.key parse"},
            {"monitor.m.event=e\n", "", "monitor.noevent parse"},
            {"monitor.m.Enable=a.b\n", "E Unknown key word Enable=a in monitor section", "parse"},
    };
    // A missing value, for every key that takes one: each has its own site, which the global
    // handler section shares with the handler section.
    for (const std::string& key :
         split("global.log_dump_path global.additional_conf_path global.logcat_grep "
               "global.kmsg_grep global.max_dump_count global.max_dump_space global.min_free_space "
               "handler.h.init handler.h.dump handler.h.on handler.h.level handler.h.epara "
               "handler.h.dpara ghandler.g.dump event.e.key_word event.e.uevent event.e.policy "
               "evtgroup.g.event monitor.m.enable monitor.m.level monitor.m.event "
               "monitor.m.evtgroup")) {
        std::string section = key.rfind("ghandler", 0) == 0 ? "handler" : split(key, '.')[0];
        cases.push_back(
                {key + "= \n", "", "value." + section + key.substr(key.rfind('.')) + " parse"});
    }
    std::map<std::string, std::string> lineOfSite;
    for (const std::vector<std::string>& c : cases) {
        SCOPED_TRACE(c[0]);
        std::string line = c[0].substr(c[0].rfind('\n', c[0].size() - 2) + 1);
        std::vector<std::string> expected, sites = split(c[2]);
        if (!c[1].empty()) expected.push_back(c[1]);
        for (const std::string& site : sites) {
            if (site.rfind("value.", 0) != 0) {
                expected.push_back(generic(line, "%d"));
            } else {
                expected.push_back("E Invalid line in config file: " + line);
                expected.push_back("E Set value failed at line %d");
            }
        }
        fresh();
        EXPECT_EQ(parse(c[0]), BAD_VALUE);
        EXPECT_EQ(mMessages, expected);
        ASSERT_EQ(mSites.size(), sites.size());
        for (size_t i = 0; i < sites.size(); ++i) {
            EXPECT_EQ(lineOfSite.emplace(sites[i], mSites[i]).first->second, mSites[i]) << sites[i];
        }
    }
    // Each reporting statement reports a line of its own.
    std::set<std::string> distinct;
    for (const auto& site : lineOfSite) distinct.insert(site.second);
    EXPECT_EQ(distinct.size(), lineOfSite.size());
}

TEST_F(ConfigParserTest, WorkedExample) {
    const std::string text = tarnd_test::workedExampleConfig("@TMP@/data/debuglogs");
    ASSERT_EQ(parse(expand(text)), NO_ERROR);
    EXPECT_TRUE(mMessages.empty());
    const std::string hang = "event hang: policy=0 uevent=[hang] key_word=[GPU HANG]\n";
    const std::string dmesg = "handler dmesg: dump=dmesg > dmesg.txt level=0 on\n";
    EXPECT_EQ(
            recordsText(*mService),
            expand("global: log_dump_path=@TMP@/data/debuglogs max_dump_count=5 "
                   "min_free_space=256\nghandler logcat: dump=logcat -d -f logcat.txt level=0 on\n"
                   "handler dmesg: dump=dmesg > dmesg.txt level=1 on\n"
                   "handler state: dump=cat on dpara=[/sys/kernel/debug/state > state.txt]\n" +
                   hang + "  " + dmesg + "evtgroup gpu:\n  " + hang + "    " + dmesg +
                   "monitor main: enable level=1\n  " + hang + "    " + dmesg));
    EXPECT_TRUE(tarnd_test::exists(mDir.file("data/debuglogs")));
    EXPECT_EQ(mService->mMonitors[0].mEvents[0].mHandlers[0].mService, mService.get());
}

// The path reaches mkdir as one word, however hostile; each line runs its command, nothing else
// runs, and the last line wins.
TEST_F(ConfigParserTest, LogDumpPathCreatedWholeAndRunsNothingElse) {
    const std::vector<std::string> names = split("dump area|it's $(touch @TMP@/pwned);b", '|');
    std::string text;
    for (const std::string& name : names) text += "global.log_dump_path=@TMP@/d/" + name + "/l\n";
    ASSERT_EQ(parse(expand(text)), NO_ERROR);
    EXPECT_TRUE(mMessages.empty());
    EXPECT_EQ(str(mService->mLogDumpPath), expand("@TMP@/d/" + names.back() + "/l"));
    for (const std::string& name : names) {
        EXPECT_TRUE(tarnd_test::exists(expand("@TMP@/d/" + name + "/l"))) << name;
    }
    EXPECT_EQ(tarnd_test::listDir(mDir.path()), split("d test.conf"));
    EXPECT_EQ(tarnd_test::listDir(mDir.file("d")).size(), names.size());
}

// Through start-up: the main file to its end, then the additional file into the same records,
// and never a third file.
TEST_F(ConfigParserTest, AdditionalFileExtendsTheSameRecords) {
    tarnd_test::writeFile(mDir.file("main.conf"),
                          expand("global.max_dump_count=5\nhandler.h.dump=a\n"
                                 "global.additional_conf_path=@TMP@/extra.conf\n"
                                 "event.e.handler.h.on=1\nmonitor.m.event=e\n"));
    tarnd_test::writeFile(mDir.file("extra.conf"),
                          expand("global.max_dump_count=7\nhandler.h.level=3\nhandler.k.dump=b\n"
                                 "event.e.uevent=u\nmonitor.m.level=2\n"
                                 "global.additional_conf_path=@TMP@/third.conf\n"));
    tarnd_test::writeFile(mDir.file("third.conf"), "global.min_free_space=1\n");
    LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(mDir.file("main.conf"), mDir.path());
    EXPECT_EQ(recordsText(*service),
              expand("global: additional_conf_path=@TMP@/third.conf use_additional "
                     "max_dump_count=7\nhandler h: dump=a level=3\nhandler k: dump=b\n"
                     "event e: uevent=[u]\n  handler h: dump=a on\n"
                     "monitor m: level=2\n  event e:\n    handler h: dump=a on\n"));
    EXPECT_EQ(log.count("Use additional config file"), 2u);
    for (const std::string& m : tagged(log)) EXPECT_NE(m[0], 'E') << m;
    EXPECT_EQ(log.messages().back(), "No monitor is enabled");
}

// The bundled example must parse cleanly; its one dump path is moved into the test's directory.
TEST_F(ConfigParserTest, BundledExampleParses) {
    std::string text = tarnd_test::readFile(TARND_SOURCE_DIR "/examples/tarndebug.conf");
    size_t key = text.find("\nglobal.log_dump_path=");
    ASSERT_NE(key, std::string::npos);
    ASSERT_EQ(text.find("\nglobal.log_dump_path=", key + 1), std::string::npos);
    size_t start = text.find('=', key) + 1;
    text.replace(start, text.find('\n', start) - start, mDir.file("logs"));
    ASSERT_EQ(parse(text), NO_ERROR);
    for (const std::string& m : mMessages) EXPECT_NE(m[0], 'E') << m;
    EXPECT_TRUE(tarnd_test::exists(mDir.file("logs")));
    EXPECT_FALSE(mService->mGlobalHandlers.isEmpty());
    // Hints and key words are of use only when they reach an enabled monitor's copies.
    bool hint = false, keyWord = false;
    for (const TarnDebugService::Monitor& m : mService->mMonitors) {
        for (const Event& e : m.mEvents) {
            hint = hint || (m.mEnabled && !e.mUeventHints.isEmpty());
            keyWord = keyWord || (m.mEnabled && !e.mKeyWords.isEmpty());
        }
    }
    EXPECT_TRUE(hint && keyWord);
}

}  // namespace
