// Running the handlers' shell commands: the enable commands once at start-up, the dump commands
// inside each dump directory.
#include <log/log.h>

#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {

enum class Command { kEnable, kDump };

using Handler = TarnDebugService::Handler;

// Runs the handler's enable or dump command once, or once per parameter with the parameter after
// one blank, within the dump's scope when one is given. Only a shell that could not be started
// counts as failure: its negative system() result is returned, the failed line is left in
// failedLine and the remaining parameters are not run. A run stopped at its limit (seconds; 0:
// none) is no failure: the next one goes on. Once the dump's space is used up, nothing more runs.
int runCommand(const CommandRunner& runner, const Handler& handler, Command which, int32_t timeout,
               String8* failedLine, TarnDebugService::DumpScope* scope = nullptr) {
    bool enable = which == Command::kEnable;
    const String8& cmd = enable ? handler.mEnableCmd : handler.mDumpCmd;
    const Vector<String8>& paras = enable ? handler.mEnableParas : handler.mDumpParas;
    if (cmd.length() == 0) {
        if (enable) {
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "No enable cmd for %s",
                                handler.mName.string());
        } else {
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "No dump cmd for %s",
                                handler.mName.string());
        }
        return 0;
    }
    // Without parameters the command runs once as it stands.
    size_t runs = paras.isEmpty() ? 1 : paras.size();
    for (size_t i = 0; i < runs && !(scope != nullptr && scope->full); ++i) {
        String8 line(cmd);
        if (!paras.isEmpty()) line.appendFormat(" %s", paras[i].string());
        if (enable) {
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Enable cmd: %s", line.string());
        } else {
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Dump cmd: %s", line.string());
        }
        ShellCommand command;
        command.line = line.string();
        command.timeoutSeconds = timeout;
        if (scope != nullptr) {
            command.environment = scope->environment;
            command.directoryFd = scope->dirFd;
        }
        bool timedOut = false;
        command.timedOut = &timedOut;
        const bool bounded = scope != nullptr && scope->spaceLeft != nullptr;
        if (bounded) {
            command.fileSizeLimit = scope->spaceLeft();
            command.stopWhen = [scope] { return scope->spaceLeft() == 0; };
        }
        int result = command.fileSizeLimit > 0 || !bounded ? runner(command) : 0;
        if (bounded && scope->spaceLeft() == 0) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                "Dump of event %s reached its space limit, stopped: %s",
                                scope->event, line.string());
            scope->full = true;
        }
        if (scope != nullptr && scope->stats != nullptr && (timedOut || scope->full)) {
            scope->stats(timedOut, scope->full);
        }
        if (result < 0) {
            failedLine->setTo(line);
            return result;
        }
    }
    return 0;
}

}  // namespace

int32_t TarnDebugService::commandTimeout(const Handler& handler) const {
    return handler.mTimeoutSet ? handler.mTimeout : mCommandTimeout;
}

void TarnDebugService::enableHandlers() {
    String8 failedLine;
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Enable global handlers");
    // A global handler is set up whatever its level: the level only selects it at dump time.
    for (size_t i = 0; i < mGlobalHandlers.size(); ++i) {
        const Handler& handler = mGlobalHandlers[i];
        if (!handler.mEnabled) continue;
        if (runCommand(mRunCommand, handler, Command::kEnable, commandTimeout(handler),
                       &failedLine) < 0) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Enable handler failed, %s",
                                failedLine.string());
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Enable handler failed, cmd: %s",
                                handler.mEnableCmd.string());
        }
    }

    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Enable monitor");
    for (size_t m = 0; m < mMonitors.size(); ++m) {
        const Monitor& monitor = mMonitors[m];
        if (!monitor.mEnabled) continue;
        for (size_t e = 0; e < monitor.mEvents.size(); ++e) {
            const Event& event = monitor.mEvents[e];
            for (size_t h = 0; h < event.mHandlers.size(); ++h) {
                const Handler& handler = event.mHandlers[h];
                if (!handler.mEnabled || handler.mLevel > monitor.mLevel) continue;
                if (runCommand(mRunCommand, handler, Command::kEnable, commandTimeout(handler),
                               &failedLine) < 0) {
                    __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Enable handler failed, %s",
                                        failedLine.string());
                    __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                                        "Enable handler failed, cmd: %s",
                                        handler.mEnableCmd.string());
                }
            }
        }
    }
    // Set-up failures are only logged: the daemon still watches for events.
}

void TarnDebugService::dumpGlobalHandlers(int32_t level, DumpScope* scope) {
    String8 failedLine;
    for (size_t i = 0; i < mGlobalHandlers.size(); ++i) {
        const Handler& handler = mGlobalHandlers[i];
        if (!handler.mEnabled || handler.mLevel > level) continue;
        if (runCommand(mRunCommand, handler, Command::kDump, commandTimeout(handler), &failedLine,
                       scope) < 0) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Dump handler failed, %s",
                                failedLine.string());
        }
    }
}

void TarnDebugService::dumpHandlers(const Event& event, int32_t level, DumpScope* scope) {
    String8 failedLine;
    for (size_t i = 0; i < event.mHandlers.size(); ++i) {
        const Handler& handler = event.mHandlers[i];
        if (!handler.mEnabled || handler.mLevel > level) continue;
        if (runCommand(mRunCommand, handler, Command::kDump, commandTimeout(handler), &failedLine,
                       scope) < 0) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Dump handler failed, %s",
                                failedLine.string());
            __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                                "Dump handler failed for event %s, handler %s",
                                event.mName.string(), describeHandler(handler, 0).string());
            // A shell that cannot start now will not start for the next handler either.
            return;
        }
    }
}

}  // namespace android::tarnd
