#include <gtest/gtest.h>
#include <log/log.h>
#include <tarnd_host/LogStore.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <set>
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
using android::UNKNOWN_ERROR;
using android::Vector;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;
using namespace std::string_literals;

namespace {

// Makes blanks at the ends, tabs, carriage returns and newlines visible in expectations.
std::string escaped(const String8& text) {
    std::string out;
    for (const char* p = text.string(); *p != '\0'; ++p) {
        if (*p == '\t') {
            out += "\\t";
        } else if (*p == '\r') {
            out += "\\r";
        } else if (*p == '\n') {
            out += "\\n";
        } else {
            out += *p;
        }
    }
    return out;
}

std::string listText(const Vector<String8>& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0) out += "|";
        out += escaped(list[i]);
    }
    return out + "]";
}

// Only what differs from a default record is shown, so that each expectation names its effect.
std::string handlerText(const TarnDebugService::Handler& h, const std::string& indent,
                        const char* section) {
    std::string out = indent + section + " " + escaped(h.mName) + ":";
    if (!h.mEnableCmd.isEmpty()) out += " init=" + escaped(h.mEnableCmd);
    if (!h.mDumpCmd.isEmpty()) out += " dump=" + escaped(h.mDumpCmd);
    if (h.mLevel != 100) out += " level=" + std::to_string(h.mLevel);
    if (h.mEnabled) out += " on";
    if (!h.mEnableParas.isEmpty()) out += " epara=" + listText(h.mEnableParas);
    if (!h.mDumpParas.isEmpty()) out += " dpara=" + listText(h.mDumpParas);
    return out + "\n";
}

std::string eventText(const TarnDebugService::Event& e, const std::string& indent) {
    std::string out = indent + "event " + escaped(e.mName) + ":";
    if (e.mPolicy != 1) out += " policy=" + std::to_string(e.mPolicy);
    if (e.mDumpCount != 0) out += " count=" + std::to_string(e.mDumpCount);
    if (!e.mUeventHints.isEmpty()) out += " uevent=" + listText(e.mUeventHints);
    if (!e.mKeyWords.isEmpty()) out += " key_word=" + listText(e.mKeyWords);
    out += "\n";
    for (size_t i = 0; i < e.mHandlers.size(); ++i) {
        out += handlerText(e.mHandlers[i], indent + "  ", "handler");
    }
    return out;
}

// Every record the parser can touch, as text: settings, then the lists in declaration order.
std::string recordsText(const TarnDebugService& s) {
    std::string out;
    std::string global;
    if (!s.mLogDumpPath.isEmpty()) global += " log_dump_path=" + escaped(s.mLogDumpPath);
    if (!s.mAdditionalConfPath.isEmpty()) {
        global += " additional_conf_path=" + escaped(s.mAdditionalConfPath);
    }
    if (s.mUseAdditionalConf) global += " use_additional";
    if (!s.mLogcatGrep) global += " logcat_grep=0";
    if (!s.mKmsgGrep) global += " kmsg_grep=0";
    if (s.mMaxDumpCount != 10) global += " max_dump_count=" + std::to_string(s.mMaxDumpCount);
    if (s.mMaxDumpSpace != 1024) global += " max_dump_space=" + std::to_string(s.mMaxDumpSpace);
    if (s.mMinFreeSpace != 512) global += " min_free_space=" + std::to_string(s.mMinFreeSpace);
    if (!global.empty()) out += "global:" + global + "\n";
    for (size_t i = 0; i < s.mGlobalHandlers.size(); ++i) {
        out += handlerText(s.mGlobalHandlers[i], "", "ghandler");
    }
    for (size_t i = 0; i < s.mHandlers.size(); ++i)
        out += handlerText(s.mHandlers[i], "", "handler");
    for (size_t i = 0; i < s.mEvents.size(); ++i) out += eventText(s.mEvents[i], "");
    for (size_t i = 0; i < s.mEventGroups.size(); ++i) {
        const TarnDebugService::EventGroup& g = s.mEventGroups[i];
        out += "evtgroup " + escaped(g.mName) + ":\n";
        for (size_t e = 0; e < g.mEvents.size(); ++e) out += eventText(g.mEvents[e], "  ");
    }
    for (size_t i = 0; i < s.mMonitors.size(); ++i) {
        const TarnDebugService::Monitor& m = s.mMonitors[i];
        out += "monitor " + escaped(m.mName) + ":";
        if (m.mEnabled) out += " enable";
        if (m.mLevel != 100) out += " level=" + std::to_string(m.mLevel);
        out += "\n";
        for (size_t e = 0; e < m.mEvents.size(); ++e) out += eventText(m.mEvents[e], "  ");
    }
    return out;
}

// "E text" for ERROR, "D text" for DEBUG, "W text" for WARN.
std::vector<std::string> taggedMessages(const LogCapture& log) {
    std::vector<std::string> out;
    for (const tarnd_host::LogLine& line : log.lines()) {
        char letter = line.prio == ANDROID_LOG_ERROR   ? 'E'
                      : line.prio == ANDROID_LOG_WARN  ? 'W'
                      : line.prio == ANDROID_LOG_DEBUG ? 'D'
                                                       : '?';
        out.push_back(std::string(1, letter) + " " + line.msg);
    }
    return out;
}

// Compares actual with pattern, where each "%d" stands for a positive decimal number; the numbers
// found are appended to numbers.
bool matchesWithNumbers(const std::string& actual, const std::string& pattern,
                        std::vector<int>* numbers) {
    size_t a = 0;
    size_t p = 0;
    while (p < pattern.size()) {
        if (pattern.compare(p, 2, "%d") == 0) {
            size_t start = a;
            while (a < actual.size() && isdigit(static_cast<unsigned char>(actual[a]))) ++a;
            if (a == start || actual[start] == '0' || a - start > 6) return false;
            numbers->push_back(std::stoi(actual.substr(start, a - start)));
            p += 2;
        } else {
            if (a >= actual.size() || actual[a] != pattern[p]) return false;
            ++a;
            ++p;
        }
    }
    return a == actual.size();
}

void replaceAll(std::string* text, const std::string& from, const std::string& to) {
    for (size_t pos = text->find(from); pos != std::string::npos;
         pos = text->find(from, pos + to.size())) {
        text->replace(pos, from.size(), to);
    }
}

/// One configuration file and what it must leave behind. "@TMP@" in any field stands for the
/// test's temporary directory; "%d" in a message for a line number of the parser's source.
struct ParseCase {
    const char* name;
    std::string text;
    status_t status;
    std::string records;
    std::vector<std::string> messages;
};

std::string caseName(const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; }

class ConfigParserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A missing file leaves an idle service with default records.
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        ASSERT_EQ(mService->mStopped, 1);
    }

    std::string expand(std::string text) const {
        replaceAll(&text, "@TMP@", mDir.path());
        return text;
    }

    // Writes the file, parses it into the service and keeps the messages it logged.
    status_t parse(const std::string& text) {
        std::string path = mDir.file("test.conf");
        tarnd_test::writeFile(path, text);
        LogCapture log;
        status_t status = mService->parseConfig(path.c_str());
        mMessages = taggedMessages(log);
        return status;
    }

    // Messages against patterns; returns the source line numbers found, in order.
    std::vector<int> expectMessages(const std::vector<std::string>& patterns) {
        std::vector<int> numbers;
        EXPECT_EQ(mMessages.size(), patterns.size()) << joined(mMessages);
        for (size_t i = 0; i < patterns.size() && i < mMessages.size(); ++i) {
            EXPECT_TRUE(matchesWithNumbers(mMessages[i], expand(patterns[i]), &numbers))
                    << "message " << i << ": [" << mMessages[i] << "] pattern ["
                    << expand(patterns[i]) << "]";
        }
        return numbers;
    }

    void runCase(const ParseCase& c) {
        EXPECT_EQ(parse(expand(c.text)), c.status);
        EXPECT_EQ(recordsText(*mService), expand(c.records));
        expectMessages(c.messages);
    }

    static std::string joined(const std::vector<std::string>& lines) {
        std::string out;
        for (const std::string& line : lines) out += "[" + line + "]\n";
        return out;
    }

    TempDir mDir;
    sp<TarnDebugService> mService;
    std::vector<std::string> mMessages;
};

class ConfigParserCaseTest : public ConfigParserTest,
                             public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ConfigParserCaseTest, RecordsAndMessages) { runCase(GetParam()); }

const char* const kGeneric = "E Config file parsing error at line %d: ";

// Which lines are setting lines at all.
INSTANTIATE_TEST_SUITE_P(
        LineClasses, ConfigParserCaseTest,
        ::testing::Values(
                ParseCase{"EmptyFile", "", NO_ERROR, "", {}},
                ParseCase{"BlankLines", "\n\n\n", NO_ERROR, "", {}},
                ParseCase{"CommentsBlanksDotless",
                          "// dump area.\n\n# no dot here\nplain words\n;x=1\n",
                          NO_ERROR,
                          "",
                          {}},
                ParseCase{"Comment", "// global.max_dump_count=3\n", NO_ERROR, "", {}},
                ParseCase{"CommentWithoutNewline", "//global.max_dump_count=3", NO_ERROR, "", {}},
                ParseCase{"SingleSlash",
                          "/global.max_dump_count=3\n",
                          NO_ERROR,
                          "",
                          {"E Config file parsing error: /global.max_dump_count=3\n"}},
                ParseCase{"IndentedComment",
                          " // global.max_dump_count=3\n",
                          NO_ERROR,
                          "",
                          {"E Config file parsing error:  // global.max_dump_count=3\n"}},
                ParseCase{"HashWithDot",
                          "#global.max_dump_count=3\n",
                          NO_ERROR,
                          "",
                          {"E Config file parsing error: #global.max_dump_count=3\n"}},
                ParseCase{"Setting",
                          "global.max_dump_count=3\n",
                          NO_ERROR,
                          "global: max_dump_count=3\n",
                          {}},
                ParseCase{"LastLineWithoutNewline",
                          "global.max_dump_count=4\nglobal.kmsg_grep=0",
                          NO_ERROR,
                          "global: kmsg_grep=0 max_dump_count=4\n",
                          {}},
                ParseCase{"LengthOneSkipped", "\n.", NO_ERROR, "", {}},
                ParseCase{
                        "DotAndNewline", ".\n", NO_ERROR, "", {"E Config file parsing error: .\n"}},
                ParseCase{"OnlyDots",
                          "....\nglobal.max_dump_count=3\n",
                          NO_ERROR,
                          "global: max_dump_count=3\n",
                          {"E Config file parsing error: ....\n"}},
                ParseCase{"OnlyDotsWithoutNewline",
                          "global.max_dump_count=3\n...",
                          BAD_VALUE,
                          "global: max_dump_count=3\n",
                          {kGeneric + "..."s}},
                ParseCase{"LeadingBlank",
                          " global.max_dump_count=3\n",
                          NO_ERROR,
                          "",
                          {"E Config file parsing error:  global.max_dump_count=3\n"}},
                ParseCase{"UnknownSectionGoesOn",
                          "global2.max_dump_count=3\nglobal.max_dump_count=4\n",
                          NO_ERROR,
                          "global: max_dump_count=4\n",
                          {"E Config file parsing error: global2.max_dump_count=3\n"}},
                ParseCase{"SectionIsCaseSensitive",
                          "Global.max_dump_count=3\nHandler.h.on=1\n",
                          NO_ERROR,
                          "",
                          {"E Config file parsing error: Global.max_dump_count=3\n",
                           "E Config file parsing error: Handler.h.on=1\n"}},
                ParseCase{"SectionByBeginning",
                          "handlers.h.on=1\nghandlerx.g.on=1\neventful.e.policy=once\n"
                          "evtgroups.g.event=e\nmonitors.m.enable=1\n",
                          NO_ERROR,
                          "ghandler g: on\nhandler h: on\nevent e: policy=0\nevtgroup g:\n"
                          "  event e: policy=0\nmonitor m: enable\n",
                          {}},
                ParseCase{"RunsOfDots",
                          "..global...max_dump_count=3\n",
                          NO_ERROR,
                          "global: max_dump_count=3\n",
                          {}},
                ParseCase{"CarriageReturn",
                          "global.max_dump_count=3\r\nhandler.h.dump=x\r\n",
                          NO_ERROR,
                          "global: max_dump_count=3\nhandler h: dump=x\\r\n",
                          {}},
                // A NUL byte ends the line for everything after the length check.
                ParseCase{"NulEndsLine",
                          "global.max_dump_count=3\0"s
                          "9\n",
                          NO_ERROR,
                          "global: max_dump_count=3\n",
                          {}},
                ParseCase{"NulFirst", "\0global.max_dump_count=3\n"s, NO_ERROR, "", {}},
                ParseCase{"NulsOnly",
                          "\0\0\0\nglobal.max_dump_count=3\n"s,
                          NO_ERROR,
                          "global: max_dump_count=3\n",
                          {}},
                ParseCase{"NulAfterClosingQuote",
                          "handler.h.dump=\"x \"\0\" tail\n"s,
                          NO_ERROR,
                          "handler h: dump=x\n",
                          {}},
                ParseCase{"NulInKey",
                          "global.max\0_dump_count=3\n"s,
                          BAD_VALUE,
                          "",
                          {"E Unknown key word max in global section", kGeneric + "global.max"s}},
                ParseCase{"NulInValueOfLongLine",
                          "handler.h.dump=x\0"s + std::string(2000, 'y') + "\n",
                          NO_ERROR,
                          "",
                          {}}),
        caseName);

// Key words match by their beginning, case-sensitively, in table order.
INSTANTIATE_TEST_SUITE_P(
        Keys, ConfigParserCaseTest,
        ::testing::Values(
                ParseCase{"KeyByBeginning",
                          "handler.a.dump=x\nhandler.b.dump = x\nhandler.c.dumpx=x\n",
                          NO_ERROR,
                          "handler a: dump=x\nhandler b: dump=x\nhandler c: dump=x\n",
                          {}},
                ParseCase{"KeyWithLeadingBlank",
                          "handler.h. dump=x\n",
                          BAD_VALUE,
                          "handler h:\n",
                          {"E Unknown key word  dump=x\n in handler section",
                           kGeneric + "handler.h. dump=x\n"s}},
                ParseCase{"KeyIsCaseSensitive",
                          "monitor.m.Enable=1\n",
                          BAD_VALUE,
                          "monitor m:\n",
                          {"E Unknown key word Enable=1\n in monitor section",
                           kGeneric + "monitor.m.Enable=1\n"s}},
                ParseCase{"KeyTokenEndsAtDot",
                          "global.bogus=a.b\n",
                          BAD_VALUE,
                          "",
                          {"E Unknown key word bogus=a in global section",
                           kGeneric + "global.bogus=a.b\n"s}},
                ParseCase{"GlobalKeys",
                          "global.log_dump_path=@TMP@/dumps\nglobal.logcat_grep=0\n"
                          "global.kmsg_grep=0\nglobal.max_dump_count=3\n"
                          "global.max_dump_space=200\nglobal.min_free_space=100\n",
                          NO_ERROR,
                          "global: log_dump_path=@TMP@/dumps logcat_grep=0 kmsg_grep=0 "
                          "max_dump_count=3 max_dump_space=200 min_free_space=100\n",
                          {}},
                ParseCase{"HandlerKeys",
                          "handler.h.init=echo 1 >\nhandler.h.dump=cat\nhandler.h.on=1\n"
                          "handler.h.level=7\nhandler.h.epara=/a\nhandler.h.dpara=/b\n"
                          "handler.h.epara=/c\n",
                          NO_ERROR,
                          "handler h: init=echo 1 > dump=cat level=7 on epara=[/a|/c] "
                          "dpara=[/b]\n",
                          {}},
                ParseCase{"GlobalHandlerKeys",
                          "ghandler.g.init=a\nghandler.g.dump=b\nghandler.g.on=1\n"
                          "ghandler.g.level=0\nghandler.g.epara=c\nghandler.g.dpara=d\n",
                          NO_ERROR,
                          "ghandler g: init=a dump=b level=0 on epara=[c] dpara=[d]\n",
                          {}},
                ParseCase{"EventKeys",
                          "event.e.key_word=GPU HANG\nevent.e.uevent=hang\nevent.e.policy=once\n"
                          "event.e.uevent=hang2\n",
                          NO_ERROR,
                          "event e: policy=0 uevent=[hang|hang2] key_word=[GPU HANG]\n",
                          {}},
                ParseCase{"Policies",
                          "event.a.policy=once\nevent.b.policy=ONCE\nevent.c.policy=\"once  \"\n"
                          "event.d.policy=once\nevent.d.policy=always\n",
                          NO_ERROR,
                          "event a: policy=0\nevent b:\nevent c: policy=0\nevent d:\n",
                          {}},
                ParseCase{"MonitorKeys",
                          "event.e.uevent=u\nevtgroup.g.event=e\nmonitor.m.enable=1\n"
                          "monitor.m.level=3\nmonitor.n.event=e\nmonitor.o.evtgroup=g\n",
                          NO_ERROR,
                          "event e: uevent=[u]\nevtgroup g:\n  event e: uevent=[u]\n"
                          "monitor m: enable level=3\nmonitor n:\n  event e: uevent=[u]\n"
                          "monitor o:\n  event e: uevent=[u]\n",
                          {}},
                ParseCase{"SameNameInEachList",
                          "ghandler.x.on=1\nhandler.x.level=2\nevent.x.policy=once\n"
                          "monitor.x.enable=1\n",
                          NO_ERROR,
                          "ghandler x: on\nhandler x: level=2\nevent x: policy=0\nmonitor x: "
                          "enable\n",
                          {}},
                ParseCase{"Numbers",
                          "global.max_dump_count=512MB\nglobal.max_dump_space= -7\n"
                          "global.min_free_space=none\n",
                          NO_ERROR,
                          "global: max_dump_count=512 max_dump_space=-7 min_free_space=0\n",
                          {}},
                ParseCase{"Switches",
                          "global.kmsg_grep=true\nglobal.logcat_grep=-1\nhandler.a.on=on\n"
                          "handler.b.on=2\nmonitor.m.enable=1\nmonitor.m.enable=0\n",
                          NO_ERROR,
                          "global: kmsg_grep=0\nhandler a:\nhandler b: on\nmonitor m:\n",
                          {}},
                ParseCase{"AdditionalFileMissing",
                          "global.additional_conf_path=@TMP@/none.conf\n",
                          NO_ERROR,
                          "global: additional_conf_path=@TMP@/none.conf\n",
                          {}},
                ParseCase{"NamesKeepBlanks",
                          "handler. h .on=1\n",
                          NO_ERROR,
                          "handler  h : on\n",
                          {}}),
        caseName);

// Values come from the whole line, not from the tokens.
INSTANTIATE_TEST_SUITE_P(
        Values, ConfigParserCaseTest,
        ::testing::Values(
                ParseCase{"DotsBelongToValue",
                          "handler.h.dump=dmesg > dmesg.txt\n",
                          NO_ERROR,
                          "handler h: dump=dmesg > dmesg.txt\n",
                          {}},
                ParseCase{"FurtherEqualsBelongToValue",
                          "handler.h.dump=dd if=/dev/zero of=out bs=1 count=1\n",
                          NO_ERROR,
                          "handler h: dump=dd if=/dev/zero of=out bs=1 count=1\n",
                          {}},
                ParseCase{"RepeatedStringReplaces",
                          "handler.h.init=a b\nhandler.h.init=c\n",
                          NO_ERROR,
                          "handler h: init=c\n",
                          {}},
                ParseCase{"ListsAppendWhole",
                          "handler.h.epara=a, b c\nhandler.h.epara=d\nevent.e.key_word=x,y\n",
                          NO_ERROR,
                          "handler h: epara=[a, b c|d]\nevent e: key_word=[x,y]\n",
                          {}},
                ParseCase{"QuotedLosesTrailingBlanks",
                          "handler.h.dump=\" echo hi  \"\n",
                          NO_ERROR,
                          "handler h: dump= echo hi\n",
                          {}},
                ParseCase{"QuotedBlanksOnlyIsEmpty",
                          "handler.h.init=x\nhandler.h.init=\"   \"\n",
                          NO_ERROR,
                          "handler h:\n",
                          {}},
                ParseCase{"EmptyQuotes",
                          "handler.h.dump=\"\"\n",
                          BAD_VALUE,
                          "handler h:\n",
                          {"E Invalid line in config file: handler.h.dump=\"\"\n",
                           "E Set value failed at line %d", kGeneric + "handler.h.dump=\"\"\n"s}},
                ParseCase{"BlanksOnly",
                          "handler.h.dump=   \n",
                          BAD_VALUE,
                          "handler h:\n",
                          {"E Invalid line in config file: handler.h.dump=   \n",
                           "E Set value failed at line %d", kGeneric + "handler.h.dump=   \n"s}},
                ParseCase{"UnclosedQuote",
                          "handler.h.dump=\"abc\n",
                          BAD_VALUE,
                          "handler h:\n",
                          {"E Invalid line in config file: handler.h.dump=\"abc\n",
                           "E Set value failed at line %d", kGeneric + "handler.h.dump=\"abc\n"s}},
                ParseCase{
                        "QuoteThenCarriageReturn",
                        "handler.h.dump=\"x\"\r\n",
                        BAD_VALUE,
                        "handler h:\n",
                        {"E Invalid line in config file: handler.h.dump=\"x\"\r\n",
                         "E Set value failed at line %d", kGeneric + "handler.h.dump=\"x\"\r\n"s}},
                ParseCase{"TabIsPartOfValue",
                          "handler.h.dump=\tx\t \n",
                          NO_ERROR,
                          "handler h: dump=\\tx\\t\n",
                          {}},
                ParseCase{"NoNewlineQuoted",
                          "handler.h.dump=\"q\"",
                          NO_ERROR,
                          "handler h: dump=q\n",
                          {}},
                ParseCase{"UnclosedQuoteThenLaterEquals",
                          "handler.h.dump=\"a=b\n",
                          NO_ERROR,
                          "handler h: dump=b\n",
                          {}},
                ParseCase{"LineEndingInQuoteAfterFirstEquals",
                          "handler.h.dump=echo a=\"b\"\n",
                          NO_ERROR,
                          "handler h: dump=echo a=\"b\"\n",
                          {}},
                ParseCase{"EqualsAfterBlanksIsValue",
                          "handler.h.dump=   =x\n",
                          NO_ERROR,
                          "handler h: dump==x\n",
                          {}}),
        caseName);

// The records of the configuration reach each other only by copy.
INSTANTIATE_TEST_SUITE_P(
        Copies, ConfigParserCaseTest,
        ::testing::Values(
                ParseCase{"HandlerChangedAfterAttach",
                          "handler.h.dump=a\nevent.e.handler.h.on=1\nhandler.h.dump=b\n"
                          "handler.h.level=5\n",
                          NO_ERROR,
                          "handler h: dump=b level=5\nevent e:\n  handler h: dump=a on\n",
                          {}},
                ParseCase{"EventLevelOnlyInItsCopy",
                          "handler.h1.dump=a\nevent.e2.handler.h1.on=1\n"
                          "event.e1.handler.h1.level=0\n",
                          NO_ERROR,
                          "handler h1: dump=a\nevent e2:\n  handler h1: dump=a on\nevent e1:\n"
                          "  handler h1: dump=a level=0\n",
                          {}},
                ParseCase{"HandlerCopyReused",
                          "handler.h.dump=a\nevent.e.handler.h.level=1\nevent.e.handler.h.on=1\n"
                          "event.e.handler.h.dpara=p\n",
                          NO_ERROR,
                          "handler h: dump=a\nevent e:\n  handler h: dump=a level=1 on "
                          "dpara=[p]\n",
                          {}},
                ParseCase{"MonitorBeforeKeyWord",
                          "event.e.uevent=u\nmonitor.m.event=e\nevent.e.key_word=K\n",
                          NO_ERROR,
                          "event e: uevent=[u] key_word=[K]\nmonitor m:\n  event e: uevent=[u]\n",
                          {}},
                ParseCase{"MonitorTakesGroupCopy",
                          "event.e.uevent=u\nevtgroup.g.event=e\nevent.e.key_word=K\n"
                          "monitor.m.evtgroup=g\nmonitor.m.event=e\n",
                          NO_ERROR,
                          "event e: uevent=[u] key_word=[K]\nevtgroup g:\n  event e: uevent=[u]\n"
                          "monitor m:\n  event e: uevent=[u]\n",
                          {}},
                ParseCase{"GroupOrderWithoutDuplicates",
                          "event.a.uevent=1\nevent.b.uevent=2\nevent.c.uevent=3\n"
                          "evtgroup.g.event=b\nevtgroup.g.event=a\nevtgroup.g.event=b\n"
                          "monitor.m.event=a\nmonitor.m.evtgroup=g\nmonitor.m.event=c\n"
                          "monitor.m.event=a\n",
                          NO_ERROR,
                          "event a: uevent=[1]\nevent b: uevent=[2]\nevent c: uevent=[3]\n"
                          "evtgroup g:\n  event b: uevent=[2]\n  event a: uevent=[1]\n"
                          "monitor m:\n  event a: uevent=[1]\n  event b: uevent=[2]\n"
                          "  event c: uevent=[3]\n",
                          {}},
                ParseCase{"MissingGroupAddsNothing",
                          "monitor.m.evtgroup=nope\n",
                          NO_ERROR,
                          "monitor m:\n",
                          {}},
                ParseCase{"GlobalHandlerNotAttachable",
                          "ghandler.g.on=1\nevent.e.handler.g.on=1\n",
                          BAD_VALUE,
                          "ghandler g: on\nevent e:\n",
                          {kGeneric + "event.e.handler.g.on=1\n"s,
                           kGeneric + "event.e.handler.g.on=1\n"s}},
                ParseCase{"RecordStaysWhenKeyFails",
                          "global.max_dump_count=3\nhandler.h.bogus=1\nglobal.max_dump_count=4\n",
                          BAD_VALUE,
                          "global: max_dump_count=3\nhandler h:\n",
                          {"E Unknown key word bogus=1\n in handler section",
                           kGeneric + "handler.h.bogus=1\n"s}}),
        caseName);

/// A failing line with the parser sites that report it, in message order; "%d" of the messages
/// stands for the site's source line.
struct FailureCase {
    std::string name;
    std::string text;
    std::vector<std::string> messages;
    std::vector<std::string> sites;
};

std::vector<FailureCase> failureCases() {
    std::vector<FailureCase> cases = {
            {"GlobalWithoutKey",
             "global.",
             {kGeneric + "global."s, kGeneric + "global."s},
             {"global.key", "parse"}},
            {"GlobalKeyIsNewline",
             "global.\n",
             {"E Unknown key word \n in global section", kGeneric + "global.\n"s},
             {"parse"}},
            {"HandlerWithoutName", "handler.", {kGeneric + "handler."s}, {"parse"}},
            {"HandlerWithoutKey",
             "handler.h",
             {kGeneric + "handler.h"s, kGeneric + "handler.h"s},
             {"handler.key", "parse"}},
            {"GlobalHandlerWithoutKey",
             "ghandler.g",
             {kGeneric + "ghandler.g"s, kGeneric + "ghandler.g"s},
             {"handler.key", "parse"}},
            {"EventWithoutKey",
             "event.e",
             {kGeneric + "event.e"s, kGeneric + "event.e"s},
             {"event.key", "parse"}},
            {"EventHandlerWithoutName",
             "event.e.handler",
             {kGeneric + "event.e.handler"s, kGeneric + "event.e.handler"s},
             {"event.handlername", "parse"}},
            {"EventHandlerUnknown",
             "event.e.handler.h.on=1\n",
             {kGeneric + "event.e.handler.h.on=1\n"s, kGeneric + "event.e.handler.h.on=1\n"s},
             {"event.nohandler", "parse"}},
            {"EventHandlerNameWithValue",
             "handler.h.on=1\nevent.e.handler.h=1\n",
             {kGeneric + "event.e.handler.h=1\n"s, kGeneric + "event.e.handler.h=1\n"s},
             {"event.nohandler", "parse"}},
            {"EventHandlerWithoutKey",
             "handler.h.on=1\nevent.e.handler.h",
             {kGeneric + "event.e.handler.h"s, kGeneric + "event.e.handler.h"s,
              kGeneric + "event.e.handler.h"s},
             {"handler.key", "event.handlerkey", "parse"}},
            {"EventHandlerUnknownKey",
             "handler.h.on=1\nevent.e.handler.h.bogus=1\n",
             {"E Unknown key word bogus=1\n in handler section",
              kGeneric + "event.e.handler.h.bogus=1\n"s, kGeneric + "event.e.handler.h.bogus=1\n"s},
             {"event.handlerkey", "parse"}},
            {"GroupWithoutKey",
             "evtgroup.g",
             {kGeneric + "evtgroup.g"s, kGeneric + "evtgroup.g"s},
             {"group.key", "parse"}},
            {"GroupUnknownEvent",
             "evtgroup.g.event=e\n",
             {kGeneric + "evtgroup.g.event=e\n"s, kGeneric + "evtgroup.g.event=e\n"s},
             {"group.noevent", "parse"}},
            {"GroupUnknownKey",
             "evtgroup.g.monitor=e\n",
             {"E Unknown key word monitor=e\n in event group section",
              kGeneric + "evtgroup.g.monitor=e\n"s},
             {"parse"}},
            {"MonitorWithoutKey",
             "monitor.m",
             {kGeneric + "monitor.m"s, kGeneric + "monitor.m"s},
             {"monitor.key", "parse"}},
            {"MonitorUnknownEvent",
             "monitor.m.event=e\n",
             {kGeneric + "monitor.m.event=e\n"s, kGeneric + "monitor.m.event=e\n"s},
             {"monitor.noevent", "parse"}},
            {"MonitorUnknownKey",
             "monitor.m.on=1\n",
             {"E Unknown key word on=1\n in monitor section", kGeneric + "monitor.m.on=1\n"s},
             {"parse"}},
            {"EventUnknownKey",
             "event.e.level=1\n",
             {"E Unknown key word level=1\n in event section", kGeneric + "event.e.level=1\n"s},
             {"parse"}},
            {"HandlerUnknownKey",
             "handler.h.enable=1\n",
             {"E Unknown key word enable=1\n in handler section",
              kGeneric + "handler.h.enable=1\n"s},
             {"parse"}},
            {"GlobalUnknownKey",
             "global.log_path=/x\n",
             {"E Unknown key word log_path=/x\n in global section",
              kGeneric + "global.log_path=/x\n"s},
             {"parse"}},
    };

    // A missing value, for every key that takes one: each has its own reporting site.
    struct ValueKey {
        const char* prefix;
        const char* key;
        const char* site;
    };
    const ValueKey kValueKeys[] = {
            {"global.", "log_dump_path", "value.log_dump_path"},
            {"global.", "additional_conf_path", "value.additional_conf_path"},
            {"global.", "logcat_grep", "value.logcat_grep"},
            {"global.", "kmsg_grep", "value.kmsg_grep"},
            {"global.", "max_dump_count", "value.max_dump_count"},
            {"global.", "max_dump_space", "value.max_dump_space"},
            {"global.", "min_free_space", "value.min_free_space"},
            {"handler.h.", "init", "value.handler.init"},
            {"handler.h.", "dump", "value.handler.dump"},
            {"handler.h.", "on", "value.handler.on"},
            {"handler.h.", "level", "value.handler.level"},
            {"handler.h.", "epara", "value.handler.epara"},
            {"handler.h.", "dpara", "value.handler.dpara"},
            {"ghandler.g.", "dump", "value.handler.dump"},
            {"event.e.", "key_word", "value.event.key_word"},
            {"event.e.", "uevent", "value.event.uevent"},
            {"event.e.", "policy", "value.event.policy"},
            {"evtgroup.g.", "event", "value.group.event"},
            {"monitor.m.", "enable", "value.monitor.enable"},
            {"monitor.m.", "level", "value.monitor.level"},
            {"monitor.m.", "event", "value.monitor.event"},
            {"monitor.m.", "evtgroup", "value.monitor.evtgroup"},
    };
    for (const ValueKey& k : kValueKeys) {
        std::string line = std::string(k.prefix) + k.key + "= \n";
        std::string name = std::string("NoValue_") + k.prefix + k.key;
        for (char& c : name) {
            if (c == '.') c = '_';
        }
        cases.push_back({name,
                         line,
                         {"E Invalid line in config file: " + line, "E Set value failed at line %d",
                          kGeneric + line},
                         {k.site, "parse"}});
    }
    // Through an event, the handler's own value sites report, then the event's.
    std::string line = "event.e.handler.h.level=\n";
    cases.push_back({"NoValue_event_handler_level",
                     "handler.h.on=1\n" + line,
                     {"E Invalid line in config file: " + line, "E Set value failed at line %d",
                      kGeneric + line, kGeneric + line},
                     {"value.handler.level", "event.handlerkey", "parse"}});
    return cases;
}

std::string failureName(const ::testing::TestParamInfo<FailureCase>& info) {
    return info.param.name;
}

class ConfigParserFailureTest : public ConfigParserTest,
                                public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConfigParserFailureTest, MessagesInOrder) {
    const FailureCase& c = GetParam();
    EXPECT_EQ(parse(c.text), BAD_VALUE);
    std::vector<int> numbers = expectMessages(c.messages);
    EXPECT_EQ(numbers.size(), c.sites.size());
}

INSTANTIATE_TEST_SUITE_P(Failures, ConfigParserFailureTest, ::testing::ValuesIn(failureCases()),
                         failureName);

// The numbers in the messages are source lines of the parser: one per reporting statement, the
// same wherever it is reached from, and each a line that reports with __LINE__.
TEST_F(ConfigParserTest, EachReportingSiteHasItsOwnSourceLine) {
    std::ifstream source(std::string(TARND_SOURCE_DIR) + "/config/ConfigParser.cpp");
    ASSERT_TRUE(source.good());
    std::vector<std::string> sourceLines;
    for (std::string l; std::getline(source, l);) sourceLines.push_back(l);

    std::map<std::string, int> lineOfSite;
    for (const FailureCase& c : failureCases()) {
        SCOPED_TRACE(c.name);
        sp<TarnDebugService> service = tarnd_test::makeService(mDir.file("none"), mDir.path());
        std::string path = mDir.file("site.conf");
        tarnd_test::writeFile(path, c.text);
        LogCapture log;
        ASSERT_EQ(service->parseConfig(path.c_str()), BAD_VALUE);
        std::vector<std::string> messages = taggedMessages(log);
        std::vector<int> numbers;
        ASSERT_EQ(messages.size(), c.messages.size());
        for (size_t i = 0; i < messages.size(); ++i) {
            ASSERT_TRUE(matchesWithNumbers(messages[i], c.messages[i], &numbers)) << messages[i];
        }
        ASSERT_EQ(numbers.size(), c.sites.size());
        for (size_t i = 0; i < numbers.size(); ++i) {
            auto found = lineOfSite.emplace(c.sites[i], numbers[i]);
            EXPECT_EQ(found.first->second, numbers[i]) << c.sites[i];
            ASSERT_LE(static_cast<size_t>(numbers[i]), sourceLines.size());
            EXPECT_NE(sourceLines[numbers[i] - 1].find("__LINE__"), std::string::npos)
                    << c.sites[i] << " -> " << sourceLines[numbers[i] - 1];
        }
    }
    std::set<int> distinct;
    for (const auto& site : lineOfSite) distinct.insert(site.second);
    EXPECT_EQ(distinct.size(), lineOfSite.size());
    EXPECT_GE(lineOfSite.size(), 30u);
}

/// A line of the given length, newline included when withNewline.
struct LengthCase {
    size_t length;
    bool withNewline;
    bool parsed;
};

class ConfigParserLengthTest : public ConfigParserTest,
                               public ::testing::WithParamInterface<LengthCase> {};

TEST_P(ConfigParserLengthTest, LongestLineIs1023WithNewline) {
    const LengthCase& c = GetParam();
    std::string head = "handler.h.dump=";
    std::string value(c.length - head.size() - (c.withNewline ? 1 : 0), 'x');
    std::string line = head + value + (c.withNewline ? "\n" : "");
    ASSERT_EQ(line.size(), c.length);
    // A short line after it shows that the parse went on.
    std::string text = c.withNewline ? line + "handler.k.on=1\n" : "handler.k.on=1\n" + line;
    EXPECT_EQ(parse(text), NO_ERROR);
    EXPECT_TRUE(mMessages.empty());
    ASSERT_EQ(TarnDebugService::findByName(mService->mHandlers, "k") >= 0, true);
    ssize_t h = TarnDebugService::findByName(mService->mHandlers, "h");
    if (c.parsed) {
        ASSERT_GE(h, 0);
        EXPECT_EQ(std::string(mService->mHandlers[h].mDumpCmd.string()), value);
    } else {
        EXPECT_LT(h, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
        Limits, ConfigParserLengthTest,
        ::testing::Values(LengthCase{1022, true, true}, LengthCase{1023, true, true},
                          LengthCase{1024, true, false}, LengthCase{1025, true, false},
                          LengthCase{1023, false, true}, LengthCase{1024, false, false},
                          LengthCase{1 << 20, true, false}));

/// getValue on its own: the line in, the value or the failure out.
struct ValueCase {
    const char* name;
    std::string line;
    bool valid;
    std::string value;
};

class GetValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(GetValueTest, ExtractsValue) {
    const ValueCase& c = GetParam();
    String8 out("earlier");
    LogCapture log;
    status_t status = TarnDebugService::getValue(c.line.c_str(), out);
    std::vector<std::string> messages = taggedMessages(log);
    if (c.valid) {
        EXPECT_EQ(status, NO_ERROR);
        EXPECT_EQ(std::string(out.string()), c.value);
        EXPECT_TRUE(messages.empty());
    } else {
        EXPECT_NE(status, NO_ERROR);
        // A failed extraction leaves the target as it was.
        EXPECT_EQ(std::string(out.string()), "earlier");
        // The log cuts a message at 1023 characters.
        std::string message = "Invalid line in config file: " + c.line;
        std::vector<std::string> expected = {"E " + message.substr(0, 1023)};
        EXPECT_EQ(messages, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
        Rules, GetValueTest,
        ::testing::Values(ValueCase{"Plain", "k=v\n", true, "v"},
                          ValueCase{"LeadingSpacesSkipped", "k=   v\n", true, "v"},
                          ValueCase{"BlankBeforeEquals", "k =v\n", true, "v"},
                          ValueCase{"TabKept", "k=\tv\n", true, "\tv"},
                          ValueCase{"TrailingSpacesRemoved", "k=v w   \n", true, "v w"},
                          ValueCase{"TrailingTabKept", "k=v\t\n", true, "v\t"},
                          ValueCase{"CarriageReturnKept", "k=v\r\n", true, "v\r"},
                          ValueCase{"NoNewline", "k=v", true, "v"},
                          ValueCase{"LaterEqualsInValue", "k=a=b=c\n", true, "a=b=c"},
                          ValueCase{"Quoted", "k=\"a b\"\n", true, "a b"},
                          ValueCase{"QuotedAfterBlanks", "k=  \"a\"\n", true, "a"},
                          ValueCase{"QuotedTrailingBlanksRemoved", "k=\"a  \"\n", true, "a"},
                          ValueCase{"QuotedLeadingBlanksKept", "k=\"  a\"\n", true, "  a"},
                          ValueCase{"QuotedBlanksOnly", "k=\"  \"\n", true, ""},
                          ValueCase{"QuotedInner", "k=\"a\"b\"\n", true, "a\"b"},
                          ValueCase{"CommasKept", "k=a, b,c\n", true, "a, b,c"},
                          ValueCase{"FirstEqualsWithoutValueSkipped", "k=   \"x=y\n", true, "y"},
                          ValueCase{"BlanksThenEquals", "k= =\n", true, "="},
                          ValueCase{"OnlyEquals", "=v\n", true, "v"},
                          ValueCase{"EmptyQuotes", "k=\"\"\n", false, ""},
                          ValueCase{"EmptyQuotesWithoutNewline", "k=\"\"", false, ""},
                          ValueCase{"NoEquals", "k v\n", false, ""},
                          ValueCase{"NothingAfterEquals", "k=\n", false, ""},
                          ValueCase{"BlanksAfterEquals", "k=   \n", false, ""},
                          ValueCase{"LoneQuote", "k=\"\n", false, ""},
                          ValueCase{"UnclosedQuote", "k=\"abc\n", false, ""},
                          ValueCase{"TextAfterClosingQuote", "k=\"a\" b\n", false, ""},
                          ValueCase{"QuoteBeforeCarriageReturn", "k=\"a\"\r\n", false, ""},
                          ValueCase{"EmptyLine", "", false, ""},
                          ValueCase{"NewlineOnly", "\n", false, ""},
                          ValueCase{"LongerThanBuffer", "k=" + std::string(5000, 'v') + "\n", false,
                                    ""}),
        [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

TEST_F(ConfigParserTest, MissingFileIsUnknownError) {
    std::string path = mDir.file("nothing.conf");
    LogCapture log;
    EXPECT_EQ(mService->parseConfig(path.c_str()), UNKNOWN_ERROR);
    std::vector<std::string> expected = {"E Failed to open config file " + path};
    EXPECT_EQ(taggedMessages(log), expected);
}

TEST_F(ConfigParserTest, WorkedExample) {
    const std::string text =
            "// dump area and limits\n"
            "global.log_dump_path=@TMP@/data/debuglogs\n"
            "global.max_dump_count=5\n"
            "global.min_free_space=256\n"
            "handler.dmesg.dump=dmesg > dmesg.txt\n"
            "handler.dmesg.on=1\n"
            "handler.dmesg.level=1\n"
            "handler.state.dump=cat\n"
            "handler.state.dpara=/sys/kernel/debug/state > state.txt\n"
            "handler.state.on=1\n"
            "ghandler.logcat.dump=logcat -d -f logcat.txt\n"
            "ghandler.logcat.on=1\n"
            "ghandler.logcat.level=0\n"
            "event.hang.key_word=GPU HANG\n"
            "event.hang.uevent=hang\n"
            "event.hang.policy=once\n"
            "event.hang.handler.dmesg.level=0\n"
            "evtgroup.gpu.event=hang\n"
            "monitor.main.enable=1\n"
            "monitor.main.level=1\n"
            "monitor.main.evtgroup=gpu\n";
    runCase(ParseCase{
            "WorkedExample",
            text,
            NO_ERROR,
            "global: log_dump_path=@TMP@/data/debuglogs max_dump_count=5 min_free_space=256\n"
            "ghandler logcat: dump=logcat -d -f logcat.txt level=0 on\n"
            "handler dmesg: dump=dmesg > dmesg.txt level=1 on\n"
            "handler state: dump=cat on dpara=[/sys/kernel/debug/state > state.txt]\n"
            "event hang: policy=0 uevent=[hang] key_word=[GPU HANG]\n"
            "  handler dmesg: dump=dmesg > dmesg.txt level=0 on\n"
            "evtgroup gpu:\n"
            "  event hang: policy=0 uevent=[hang] key_word=[GPU HANG]\n"
            "    handler dmesg: dump=dmesg > dmesg.txt level=0 on\n"
            "monitor main: enable level=1\n"
            "  event hang: policy=0 uevent=[hang] key_word=[GPU HANG]\n"
            "    handler dmesg: dump=dmesg > dmesg.txt level=0 on\n",
            {}});
    EXPECT_EQ(mService->mHandlers[1].mLevel, 100);
    EXPECT_TRUE(mService->mLogcatGrep);
    EXPECT_TRUE(mService->mKmsgGrep);
    EXPECT_FALSE(mService->mUseAdditionalConf);
    EXPECT_TRUE(tarnd_test::exists(mDir.file("data/debuglogs")));

    // With the key word after the group line, the monitor's copy never learns it.
    std::string late = text;
    replaceAll(&late, "event.hang.key_word=GPU HANG\n", "");
    replaceAll(&late, "evtgroup.gpu.event=hang\n",
               "evtgroup.gpu.event=hang\nevent.hang.key_word=GPU HANG\n");
    mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
    ASSERT_EQ(parse(expand(late)), NO_ERROR);
    ASSERT_EQ(mService->mMonitors.size(), 1u);
    ASSERT_EQ(mService->mMonitors[0].mEvents.size(), 1u);
    EXPECT_TRUE(mService->mMonitors[0].mEvents[0].mKeyWords.isEmpty());
    EXPECT_EQ(mService->mEvents[0].mKeyWords.size(), 1u);
}

TEST_F(ConfigParserTest, DefaultLevelsLetEveryHandlerRun) {
    ASSERT_EQ(parse("handler.h.on=1\nevent.e.handler.h.on=1\nmonitor.m.event=e\n"), NO_ERROR);
    EXPECT_EQ(mService->mHandlers[0].mLevel, 100);
    EXPECT_EQ(mService->mMonitors[0].mLevel, 100);
    EXPECT_EQ(mService->mEvents[0].mPolicy, 1);
    EXPECT_EQ(mService->mMonitors[0].mEvents[0].mHandlers[0].mLevel, 100);
}

TEST_F(ConfigParserTest, RecordsHoldTheService) {
    ASSERT_EQ(parse("ghandler.g.on=1\nhandler.h.on=1\nevent.e.handler.h.on=1\n"
                    "evtgroup.gr.event=e\nmonitor.m.evtgroup=gr\n"),
              NO_ERROR);
    TarnDebugService* s = mService.get();
    EXPECT_EQ(s->mGlobalHandlers[0].mService, s);
    EXPECT_EQ(s->mHandlers[0].mService, s);
    EXPECT_EQ(s->mEvents[0].mService, s);
    EXPECT_EQ(s->mEvents[0].mHandlers[0].mService, s);
    EXPECT_EQ(s->mEventGroups[0].mService, s);
    EXPECT_EQ(s->mMonitors[0].mService, s);
    EXPECT_EQ(s->mMonitors[0].mEvents[0].mHandlers[0].mService, s);
}

// The path reaches mkdir as one word, however hostile, and nothing else runs.
TEST_F(ConfigParserTest, LogDumpPathCreatedWholeAndRunsNothingElse) {
    const std::vector<std::string> names = {"dump area",
                                            "a;touch @TMP@/pwned;b",
                                            "$(touch @TMP@/pwned)",
                                            "`touch @TMP@/pwned`",
                                            "it's here",
                                            "x\"y",
                                            "tab\there",
                                            "a&&touch @TMP@/pwned"};
    for (const std::string& name : names) {
        std::string path = expand("@TMP@/dumps/" + name + "/logs");
        ASSERT_EQ(parse("global.log_dump_path=" + path + "\n"), NO_ERROR) << name;
        EXPECT_TRUE(mMessages.empty());
        EXPECT_EQ(std::string(mService->mLogDumpPath.string()), path);
        EXPECT_TRUE(tarnd_test::exists(path)) << path;
    }
    EXPECT_FALSE(tarnd_test::exists(mDir.file("pwned")));
    std::vector<std::string> top = {"dumps", "test.conf"};
    EXPECT_EQ(tarnd_test::listDir(mDir.path()), top);
    EXPECT_EQ(tarnd_test::listDir(mDir.file("dumps")).size(), names.size());
}

TEST_F(ConfigParserTest, LogDumpPathLastLineWins) {
    ASSERT_EQ(
            parse(expand("global.log_dump_path=@TMP@/one\nglobal.log_dump_path=\"@TMP@/two  \"\n")),
            NO_ERROR);
    EXPECT_EQ(std::string(mService->mLogDumpPath.string()), mDir.file("two"));
    // Each line runs its own directory command.
    EXPECT_TRUE(tarnd_test::exists(mDir.file("one")));
    EXPECT_TRUE(tarnd_test::exists(mDir.file("two")));
}

TEST_F(ConfigParserTest, ReadableAdditionalFileIsUsed) {
    tarnd_test::writeFile(mDir.file("extra.conf"), "global.max_dump_count=1\n");
    ASSERT_EQ(parse(expand("global.additional_conf_path=@TMP@/extra.conf\n"
                           "global.max_dump_count=2\n")),
              NO_ERROR);
    std::vector<std::string> expected = {"D Use additional config file"};
    EXPECT_EQ(mMessages, expected);
    EXPECT_TRUE(mService->mUseAdditionalConf);
    EXPECT_EQ(std::string(mService->mAdditionalConfPath.string()), mDir.file("extra.conf"));
    // parseConfig reads only its own file; the start-up sequence reads the additional one.
    EXPECT_EQ(mService->mMaxDumpCount, 2);
}

// Through the start-up sequence: the main file to its end, then the additional file into the same
// records, and never a third file.
TEST_F(ConfigParserTest, AdditionalFileExtendsTheSameRecords) {
    tarnd_test::writeFile(mDir.file("main.conf"),
                          expand("global.max_dump_count=5\n"
                                 "handler.h.dump=a\n"
                                 "global.additional_conf_path=@TMP@/extra.conf\n"
                                 "event.e.handler.h.on=1\n"
                                 "monitor.m.event=e\n"));
    tarnd_test::writeFile(mDir.file("extra.conf"),
                          expand("global.max_dump_count=7\n"
                                 "handler.h.level=3\n"
                                 "handler.k.dump=b\n"
                                 "event.e.uevent=u\n"
                                 "monitor.m.level=2\n"
                                 "global.additional_conf_path=@TMP@/third.conf\n"));
    tarnd_test::writeFile(mDir.file("third.conf"), "global.min_free_space=1\n");
    LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(mDir.file("main.conf"), mDir.path());
    EXPECT_EQ(service->mStopped, 1);
    EXPECT_EQ(recordsText(*service),
              expand("global: additional_conf_path=@TMP@/third.conf use_additional "
                     "max_dump_count=7\n"
                     "handler h: dump=a level=3\n"
                     "handler k: dump=b\n"
                     "event e: uevent=[u]\n"
                     "  handler h: dump=a on\n"
                     "monitor m: level=2\n"
                     "  event e:\n"
                     "    handler h: dump=a on\n"));
    std::vector<std::string> messages = taggedMessages(log);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "D Use additional config file"), 2);
    for (const std::string& m : messages) EXPECT_NE(m[0], 'E') << m;
    EXPECT_EQ(messages.back(), "D No monitor is enabled");
}

TEST_F(ConfigParserTest, BadLineInAdditionalFileStopsStartup) {
    tarnd_test::writeFile(mDir.file("main.conf"),
                          expand("global.additional_conf_path=@TMP@/extra.conf\n"
                                 "handler.h.dump=a\n"));
    tarnd_test::writeFile(mDir.file("extra.conf"), "handler.h.level=3\nhandler.h.bogus=1\n");
    LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(mDir.file("main.conf"), mDir.path());
    EXPECT_EQ(service->mStopped, 1);
    EXPECT_EQ(recordsText(*service),
              expand("global: additional_conf_path=@TMP@/extra.conf use_additional\n"
                     "handler h: dump=a level=3\n"));
    mMessages = taggedMessages(log);
    expectMessages({"D Start parsing config", "D Use additional config file",
                    "E Unknown key word bogus=1\n in handler section",
                    kGeneric + "handler.h.bogus=1\n"s, "E Failed to parse config file"});
}

// The bundled example must parse cleanly; its dump path is moved into the test's directory.
TEST_F(ConfigParserTest, BundledExampleParses) {
    std::string example =
            tarnd_test::readFile(std::string(TARND_SOURCE_DIR) + "/examples/tarndebug.conf");
    ASSERT_FALSE(example.empty());
    size_t key = example.find("\nglobal.log_dump_path=");
    ASSERT_NE(key, std::string::npos);
    EXPECT_EQ(example.find("\nglobal.log_dump_path=", key + 1), std::string::npos);
    size_t valueStart = example.find('=', key) + 1;
    size_t valueEnd = example.find('\n', valueStart);
    example.replace(valueStart, valueEnd - valueStart, mDir.file("logs"));

    ASSERT_EQ(parse(example), NO_ERROR);
    for (const std::string& m : mMessages) EXPECT_NE(m[0], 'E') << m;
    EXPECT_TRUE(tarnd_test::exists(mDir.file("logs")));
    EXPECT_TRUE(mService->mKmsgGrep);
    EXPECT_TRUE(mService->mLogcatGrep);
    EXPECT_FALSE(mService->mGlobalHandlers.isEmpty());
    EXPECT_FALSE(mService->mEventGroups.isEmpty());

    // Uevent hints and key words must reach an enabled monitor's copies to be of any use.
    bool hint = false;
    bool keyWord = false;
    bool parameters = false;
    for (const TarnDebugService::Monitor& m : mService->mMonitors) {
        if (!m.mEnabled) continue;
        for (const TarnDebugService::Event& e : m.mEvents) {
            hint = hint || !e.mUeventHints.isEmpty();
            keyWord = keyWord || !e.mKeyWords.isEmpty();
        }
    }
    for (const TarnDebugService::Handler& h : mService->mHandlers) {
        parameters = parameters || !h.mDumpParas.isEmpty() || !h.mEnableParas.isEmpty();
    }
    EXPECT_TRUE(hint);
    EXPECT_TRUE(keyWord);
    EXPECT_TRUE(parameters);
}

// Whatever the bytes, the parse ends with success or BAD_VALUE; the sanitizer builds check that
// nothing is read or written out of bounds on the way.
TEST_F(ConfigParserTest, ArbitraryBytesNeverCrash) {
    tarnd_host::LogStore::instance().setEcho(false);
    std::mt19937 random(20240611);
    // Pieces that steer random text into the parser's deeper paths. log_dump_path is left out so
    // that no random directory is ever made.
    const std::vector<std::string> pieces = {"global.",  "handler.",  "ghandler.",
                                             "event.",   "evtgroup.", "monitor.",
                                             "handler",  "key_word",  "uevent",
                                             "policy",   "on",        "level",
                                             "dump",     "init",      "epara",
                                             "dpara",    "enable",    "event",
                                             "evtgroup", "=",         "\"",
                                             " ",        ".",         "\n",
                                             "\r",       "\t",        "//",
                                             "once",     "h",         "e",
                                             "g",        "m",         std::string(1, '\0')};
    for (int round = 0; round < 400; ++round) {
        std::string text;
        size_t target = random() % (round % 50 == 0 ? 5000 : 400);
        while (text.size() < target) {
            if (random() % 3 == 0) {
                text.push_back(static_cast<char>(random() % 256));
            } else {
                text += pieces[random() % pieces.size()];
            }
        }
        if (round % 40 == 0) text += std::string(1000 + random() % 50, '.') + "\n";
        status_t status = parse(text);
        EXPECT_TRUE(status == NO_ERROR || status == BAD_VALUE) << status;
    }
    tarnd_host::LogStore::instance().setEcho(true);
}

}  // namespace
