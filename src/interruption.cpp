#include "interruption.h"

#include <csignal>
#include <cstring>
#include <initializer_list>

static volatile sig_atomic_t caught = 0;

static void noteSignal(int signal) {
    if (caught == 0) {
        caught = signal;
    }
}

void catchInterruptions() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait that a signal interrupts returns, and the tool looks at why.
    action.sa_flags = 0;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

int interruptingSignal() {
    return caught;
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
