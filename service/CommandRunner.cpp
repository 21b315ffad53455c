#include "service/CommandRunner.h"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <memory>

#include "base/Pause.h"
#include "base/UniqueFd.h"
#include "service/DevicePaths.h"

extern char** environ;

namespace android::tarnd {

namespace {

using Clock = std::chrono::steady_clock;

// The shell system() would use: a vendor build runs the vendor partition's.
#if defined(__ANDROID_VNDK__)
constexpr const char* kShell = "/vendor/bin/sh";
#elif defined(__ANDROID__)
constexpr const char* kShell = "/system/bin/sh";
#else
constexpr const char* kShell = "/bin/sh";
#endif

// What is left of a command after SIGTERM gets this long before SIGKILL.
constexpr std::chrono::milliseconds kKillDelay(2000);
// A process stuck in the kernel outlives even SIGKILL; it is waited for this long, then left to
// its waiter thread.
constexpr std::chrono::milliseconds kKillGrace(2000);
// The result of a command given up on: what a shell killed by SIGKILL reports.
constexpr int kAbandonedStatus = SIGKILL;

// SIGINT and SIGQUIT are ignored while any command runs, as system() does. The dispositions are
// process-wide and several threads run commands, so the first run saves them and the last one
// puts them back.
pthread_mutex_t gSignalLock = PTHREAD_MUTEX_INITIALIZER;
int gRuns = 0;
struct sigaction gSavedInt;
struct sigaction gSavedQuit;

/// The caller's side of system()'s signal handling for one run: SIGINT and SIGQUIT ignored,
/// SIGCHLD blocked in this thread. The child puts back what it finds saved here.
class SignalGuard {
  public:
    SignalGuard() {
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        pthread_sigmask(SIG_BLOCK, &chld, &mSavedMask);
        pthread_mutex_lock(&gSignalLock);
        if (gRuns++ == 0) {
            struct sigaction ignore;
            memset(&ignore, 0, sizeof(ignore));
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGINT, &ignore, &gSavedInt);
            sigaction(SIGQUIT, &ignore, &gSavedQuit);
        }
        mInt = gSavedInt;
        mQuit = gSavedQuit;
        pthread_mutex_unlock(&gSignalLock);
    }
    ~SignalGuard() {
        pthread_mutex_lock(&gSignalLock);
        if (--gRuns == 0) {
            sigaction(SIGINT, &gSavedInt, nullptr);
            sigaction(SIGQUIT, &gSavedQuit, nullptr);
        }
        pthread_mutex_unlock(&gSignalLock);
        pthread_sigmask(SIG_SETMASK, &mSavedMask, nullptr);
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    sigset_t mSavedMask;
    struct sigaction mInt;
    struct sigaction mQuit;
};

/// One started shell, shared by the caller and the thread that reaps it: whichever lets go last
/// frees it, so a caller that gives up on a stuck process can go on at once.
struct Child {
    pid_t pid = -1;
    std::atomic<int> status{-1};
    UniqueFd done;  // eventfd, written once the shell is reaped
};

// The wait status of the child, or -1.
int waitFor(pid_t pid) {
    int status = 0;
    pid_t result;
    do {
        result = waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result == pid ? status : -1;
}

void* reap(void* arg) {
    std::unique_ptr<std::shared_ptr<Child>> owner(static_cast<std::shared_ptr<Child>*>(arg));
    Child& child = **owner;
    pthread_setname_np(pthread_self(), "TARND Command");
    child.status = waitFor(child.pid);
    uint64_t one = 1;
    ssize_t written = write(child.done.get(), &one, sizeof(one));
    (void)written;
    return nullptr;
}

// Whether the shell was reaped before the deadline.
bool reapedBy(const Child& child, Clock::time_point deadline) {
    for (;;) {
        int64_t left = std::max<int64_t>(msUntil(deadline), 0);
        struct pollfd done = {child.done.get(), POLLIN, 0};
        int ready = poll(&done, 1, static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && left == 0) return false;
    }
}

void sleepFor(int64_t ms) {
    struct timespec pause = {static_cast<time_t>(ms / 1000),
                             static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Whether any process of the group is left, zombies that init has not reaped yet included.
bool groupAlive(pid_t group) { return kill(-group, 0) == 0 || errno == EPERM; }

// SIGTERM to the whole group, SIGKILL to what is left of it after kKillDelay. True when the
// shell has been reaped.
bool stopGroup(const Child& child) {
    kill(-child.pid, SIGTERM);
    const auto killAt = Clock::now() + kKillDelay;
    bool reaped = reapedBy(child, killAt);
    // The shell may go at once while something it started ignores SIGTERM, and the rest of a
    // group that did stop is reaped by init a moment later: look again now and then till SIGKILL.
    Backoff backoff;
    while (reaped && groupAlive(child.pid)) {
        int64_t left = msUntil(killAt);
        if (left <= 0) break;
        sleepFor(std::min<int64_t>(left, backoff.next()));
    }
    if (reaped && !groupAlive(child.pid)) return true;
    kill(-child.pid, SIGKILL);
    return reaped || reapedBy(child, Clock::now() + kKillGrace);
}

// The environment with the extra NAME=VALUE strings, which replace entries of the same name.
std::vector<char*> buildEnvironment(const std::vector<std::string>& extra) {
    std::vector<char*> envp;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = strchr(*entry, '=');
        size_t nameLength = equals != nullptr ? static_cast<size_t>(equals - *entry) + 1 : 0;
        bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
            return nameLength > 0 && e.compare(0, nameLength, *entry, nameLength) == 0;
        });
        if (!replaced) envp.push_back(*entry);
    }
    for (const std::string& e : extra) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    return envp;
}

}  // namespace

int runShellCommand(const ShellCommand& command) {
    if (command.line == nullptr) return access(kShell, X_OK) == 0 ? 1 : 0;

    // Everything the child needs is made before the fork: between fork and exec it may only
    // make async-signal-safe calls.
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command.line), nullptr};
    std::vector<char*> envp;
    if (command.environment != nullptr) envp = buildEnvironment(*command.environment);
    char** env = command.environment != nullptr ? envp.data() : environ;
    struct rlimit fileSize;
    fileSize.rlim_cur = fileSize.rlim_max = command.fileSizeLimit >= RLIM_INFINITY
                                                    ? RLIM_INFINITY - 1
                                                    : static_cast<rlim_t>(command.fileSizeLimit);
    auto child = std::make_shared<Child>();
    bool limited = command.timeoutSeconds > 0 || command.stopWhen != nullptr;
    if (limited) child->done.reset(eventfd(0, EFD_CLOEXEC));
    // The child reports a failed exec here; a successful one closes it empty.
    int execPipe[2];
    if ((limited && !child->done.ok()) || pipe2(execPipe, O_CLOEXEC) != 0) return -1;
    UniqueFd execRead(execPipe[0]);
    UniqueFd execWrite(execPipe[1]);

    SignalGuard signals;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        sigaction(SIGINT, &signals.mInt, nullptr);
        sigaction(SIGQUIT, &signals.mQuit, nullptr);
        sigprocmask(SIG_SETMASK, &signals.mSavedMask, nullptr);
        // A runaway file stops at its bound, even between two looks of the watcher.
        if (command.fileSizeLimit > 0) setrlimit(RLIMIT_FSIZE, &fileSize);
        // A command that cannot enter its directory must not write into another one.
        if (command.directoryFd < 0 || fchdir(command.directoryFd) == 0) execve(kShell, argv, env);
        int error = errno;
        ssize_t written = write(execPipe[1], &error, sizeof(error));
        (void)written;
        _exit(127);
    }
    if (pid < 0) return -1;
    // Also here, so that the group exists before any signal is sent to it.
    setpgid(pid, pid);
    execWrite.reset();
    int execError = 0;
    ssize_t got;
    do {
        got = read(execRead.get(), &execError, sizeof(execError));
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof(execError))) {
        waitFor(pid);
        return -1;
    }

    int status;
    bool timedOut = false;
    bool stopped = false;
    child->pid = pid;
    pthread_t waiter;
    std::unique_ptr<std::shared_ptr<Child>> share(limited ? new std::shared_ptr<Child>(child)
                                                          : nullptr);
    if (!limited || pthread_create(&waiter, nullptr, reap, share.get()) != 0) {
        // Without a limit (or without a thread to watch it) the command is waited for as it is.
        status = waitFor(pid);
    } else {
        share.release();  // the waiter's now
        const auto deadline = command.timeoutSeconds > 0
                                      ? Clock::now() + std::chrono::seconds(command.timeoutSeconds)
                                      : Clock::time_point::max();
        bool reaped = false;
        while (!reaped && !timedOut && !stopped) {
            auto wakeAt = deadline;
            if (command.stopWhen) {
                wakeAt = std::min(wakeAt,
                                  Clock::now() + std::chrono::milliseconds(kWatchIntervalMs));
            }
            reaped = reapedBy(*child, wakeAt);
            if (reaped) break;
            timedOut = Clock::now() >= deadline;
            stopped = !timedOut && command.stopWhen && command.stopWhen();
        }
        if (!reaped) {
            reaped = stopGroup(*child);
            if (timedOut) {
                __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                    "Command timed out after %d s, stopped: %s",
                                    command.timeoutSeconds, command.line);
            }
        }
        if (reaped) {
            pthread_join(waiter, nullptr);
            status = child->status;
        } else {
            // Its waiter reaps it whenever the kernel lets it go.
            pthread_detach(waiter);
            status = kAbandonedStatus;
        }
    }
    if (command.timedOut != nullptr) *command.timedOut = timedOut;
    if (!timedOut && !stopped && status > 0) {
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Command exited with status %d: %s", code,
                            command.line);
    }
    return status;
}

}  // namespace android::tarnd
