#include "interruption.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

static volatile sig_atomic_t caught = 0;
// The handler writes a byte here: a signal that comes between a look at the flag and the poll()
// that follows still wakes that poll.
static int wakeUp[2] = {-1, -1};

static void noteSignal(int signal) {
    if (caught == 0) {
        caught = signal;
    }
    int savedErrno = errno;
    if (write(wakeUp[1], "", 1) < 0) {
        // The pipe is full: it is readable already.
    }
    errno = savedErrno;
}

void catchInterruptions() {
    if (pipe2(wakeUp, O_NONBLOCK | O_CLOEXEC) < 0) {
        wakeUp[0] = wakeUp[1] = -1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait that a signal interrupts returns, and the tool looks at why.
    action.sa_flags = 0;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before;
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
}

int interruptingSignal() {
    return caught;
}

int interruptionDescriptor() {
    return wakeUp[0];
}

void endBySignal(int signal) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // Not reached for these signals; the status says the same all the same.
    exit(128 + signal);
}

const char *signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}
