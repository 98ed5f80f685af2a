// The signals on POSIX systems. A write past a file-size limit or into a
// closed pipe fails and is reported instead of killing the program; every
// other signal that would end it removes the replacement's leftovers first
// (output.cpp), in a handler put in place only once there are any. The
// leftovers change only under a hold, which blocks the signals while the
// handlers are in place: the handler never meets a file half recorded.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform.hpp"
#include "posix/process.hpp"

namespace quib {
namespace {

// What the handler and the holds share: the mask that the outermost hold
// replaced, how deep the holds go, and whether the outermost one blocked.
sigset_t maskBeforeHold{};
int holds = 0;
bool blocked = false;

// Whether the handlers that remove the leftovers are in place, and whether
// the run has an unnamed file: either makes a hold block the signals.
bool handlersInstalled = false;
bool unnamed = false;

// The standard descriptors that were closed when the program started, one
// bit each.
unsigned closedAtStartBits = 0;

// The signals whose default action does not end the program, and SIGKILL,
// which cannot be caught. Every other signal removes a named hidden file
// before the program dies of it.
bool endsProgram(int signal) {
    for (const int harmless :
         {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH}) {
        if (signal == harmless) {
            return false;
        }
    }
    return true;
}

}  // namespace

// One call a signal, and a second only for one that whoever started us
// ignores (nohup, a background job): it stays ignored, as do SIGXFSZ and
// SIGPIPE. Some numbers belong to the C library; sigaction refuses them,
// and they stay as they are. Every signal is held back meanwhile, so that
// none meets the handler it is about to lose.
void posix::installHandlers() noexcept {
    if (handlersInstalled) {
        return;
    }
    sigset_t all{};
    sigfillset(&all);
    sigset_t before{};
    sigprocmask(SIG_BLOCK, &all, &before);
    struct sigaction cleanup {};
    cleanup.sa_handler = detail::removeHiddenAndDie;
    sigfillset(&cleanup.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction was {};
        if (endsProgram(signal) && sigaction(signal, &cleanup, &was) == 0 &&
            was.sa_handler == SIG_IGN) {
            sigaction(signal, &was, nullptr);
        }
    }
    handlersInstalled = true;
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void posix::blockWhileHeld(bool unnamedFile) noexcept {
    unnamed = unnamedFile;
}

bool posix::closedAtStart(int fd) noexcept {
    return (closedAtStartBits >> static_cast<unsigned>(fd) & 1U) != 0;
}

// Holds nest: the commit holds the cleanup for its whole length, and the
// steps inside it hold it again for their own part. Without handlers there
// is nothing to hold back, except where an unnamed file may be named under
// the hold.
void platform::holdCleanup() noexcept {
    if (holds++ == 0 && (handlersInstalled || unnamed)) {
        sigset_t all{};
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &maskBeforeHold);
        blocked = true;
    }
}

void platform::releaseCleanup() noexcept {
    if (--holds == 0 && blocked) {
        blocked = false;
        sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
    }
}

// From the handler, where every signal is blocked: the signal is raised
// again at its default action and let through, which ends the program.
void platform::dieOf(int signal) noexcept {
    static_cast<void>(std::signal(signal, SIG_DFL));
    static_cast<void>(std::raise(signal));
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signal);  // not reached
}

bool platform::prepareProcess() {
    // The lowest free descriptor is the one that is closed: /dev/null goes
    // exactly there.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            if (open("/dev/null", O_RDWR) != fd) {
                return false;
            }
            closedAtStartBits |= 1U << static_cast<unsigned>(fd);
        }
    }
    // The write fails with EFBIG or EPIPE instead, and its section says so.
    // The handlers that remove a hidden file come only with a named one.
    for (const int signal : {SIGXFSZ, SIGPIPE}) {
        static_cast<void>(std::signal(signal, SIG_IGN));
    }
    return true;
}

}  // namespace quib
