#include <gtest/gtest.h>

#include "TestSupport.h"

using tarnd_test::logText, tarnd_test::makeHandler;

namespace {

// Each test runs in a fresh directory, where the commands write their relative files. The runner
// records the limit of each run and fails mFailing as a shell that cannot start, without running.
class HandlerCommandsTest : public ::testing::Test, public tarnd_test::ScratchService {
  protected:
    HandlerCommandsTest() {
        service->mRunCommand = [this](const android::tarnd::ShellCommand& command) {
            mLimits.push_back(command.timeoutSeconds);
            return command.line == mFailing ? -1 : android::tarnd::runShellCommand(command);
        };
    }

    std::string mFailing;
    std::vector<int32_t> mLimits;
};

// A command runs once per parameter, the parameter kept whole, whatever its exit status.
TEST_F(HandlerCommandsTest, RunsOncePerParameterWhateverItsExitStatus) {
    service->mGlobalHandlers.add(
            makeHandler("h", 0, "echo", "", {"1 >> out; exit 3", "'a,  b' >> out"}));
    service->dumpGlobalHandlers(0);
    EXPECT_EQ(tarnd_test::readFile("out"), "1\na,  b\n");
}

// A failed run stops the handler's remaining parameters; enabling and the global dump go on with
// the next handler, an event's dump describes the handler and stops. A handler without command
// runs nothing, even with parameters; one without parameters runs its command once. Each run gets
// the handler's own limit where a line set one (0 here), else the service's (60 by default).
TEST_F(HandlerCommandsTest, FailureStopsOnlyWhatItShould) {
    auto a = makeHandler("A", 0, "echo A", "echo A", {"1 >> order", "2 >> order"});
    auto b = makeHandler("B", 0, "echo B >> order", "echo B >> order");
    std::tie(a.mTimeoutSet, a.mTimeout) = std::make_tuple(true, 0);
    android::tarnd::TarnDebugService::Event event = tarnd_test::makeEvent("gpu_hang", {a, b});
    android::tarnd::TarnDebugService::Monitor monitor(nullptr, android::String8("m"));
    std::tie(monitor.mEnabled, mFailing) = std::make_tuple(true, "echo A 1 >> order");
    monitor.mEvents.add(event);
    service->mMonitors.add(monitor);
    for (const auto& h : {a, b, makeHandler("C", 0, "", "", {"C >> order"})})
        service->mGlobalHandlers.add(h);
    const std::string enable =
            "Enable cmd: echo A 1 >> order|E:Enable handler failed, echo A 1 >> order|"
            "E:Enable handler failed, cmd: echo A|Enable cmd: echo B >> order|";
    const std::string failedDump = "Dump cmd: echo A 1 >> order|E:Dump handler failed, " + mFailing;
    tarnd_host::LogCapture log;
    service->enableHandlers();
    service->dumpGlobalHandlers(0);
    service->dumpHandlers(event, 0);
    // The handler's description follows, as the status report has it.
    const std::string text = logText(log);
    EXPECT_EQ(text.substr(0, text.find("\nLevel: ")),
              "Enable global handlers|" + enable + "No enable cmd for C|Enable monitor|" + enable +
                      failedDump + "|Dump cmd: echo B >> order|No dump cmd for C|" + failedDump +
                      "|E:Dump handler failed for event gpu_hang, handler Name: A");
    EXPECT_EQ(tarnd_test::readFile("order"), "B\nB\nB\n");
    EXPECT_EQ(mLimits, (std::vector<int32_t>{0, 60, 0, 60, 0, 60, 0}));
}

// Start-up runs the enable commands before any worker starts: global handlers whatever their
// level (the default 100), an event's enabled handlers up to its monitor's level (equal
// included), once for every place they occur, and only through enabled monitors. A hung one is
// stopped at its limit and start-up goes on.
TEST_F(HandlerCommandsTest, StartEnablesBySelection) {
    const std::string text =
            "global.logcat_grep=0\nglobal.kmsg_grep=0\nghandler.g.init=echo g >> order\n"
            "ghandler.g.on=1\nevent.e.uevent=e\nhandler.at.init=echo at >> order\n"
            "handler.at.on=1\nhandler.at.level=1\nhandler.up.init=echo up >> order\n"
            "handler.up.on=1\nhandler.up.level=2\nhandler.off.init=echo off >> order\n"
            "event.e.handler.at.on=1\nevent.e.handler.up.on=1\nevent.e.handler.off.level=0\n"
            "monitor.m.event=e\nevent.f.handler.at.on=1\nmonitor.m.enable=1\nmonitor.m.level=1\n"
            "monitor.m.event=f\nmonitor.x.level=100\nmonitor.x.event=e\nglobal.log_dump_path=";
    const std::string hang = "sleep 600." + std::to_string(getpid());
    tarnd_test::writeFile(dir.file("t.conf"), "ghandler.h.init=" + hang +
                                                      "\nghandler.h.on=1\nghandler.h.timeout=1\n" +
                                                      text + dir.file("dumps"));
    tarnd_host::LogCapture log;
    tarnd_test::makeService(dir.file("t.conf"), dir.path()).clear();
    EXPECT_EQ(tarnd_test::readFile("order"), "g\nat\nat\n");
    // Nothing else in between: the workers start only after these lines.
    EXPECT_NE(
            logText(log).find("|Start enable handlers|Enable global handlers|Enable cmd: " + hang +
                              "|W:Command timed out after 1 s, stopped: " + hang +
                              "|Enable cmd: echo g >> order|Enable monitor|Enable cmd: echo at >> "
                              "order|Enable cmd: echo at >> order|Finish enable handlers|"),
            std::string::npos);
    EXPECT_TRUE(tarnd_test::processGone(hang));
    EXPECT_TRUE(log.contains("TARN debug service started"));
}

}  // namespace
