// Ctrl-C, a kill, or a terminal that closes, during a run.
#pragma once

// From now on SIGINT, SIGTERM and SIGHUP are noted instead of ending the process at once (but
// for one that was ignored when the tool started, as under nohup), and they cut short whatever
// the tool waits in (poll, a send, a pause), so that it can end the run itself: with its queued
// output written and a last word on where the upload stood.
void catchInterruptions();

// The first of those signals that came, or 0.
int interruptingSignal();

// Readable once such a signal came: for a poll() that must not sleep through one that arrives
// just before it starts (-1 before catchInterruptions).
int interruptionDescriptor();

// Ends the process by signal, as it would have ended without the tool's handler, so that a
// shell loop stops at Ctrl-C and a service manager sees a stop by signal; $? still reads
// 128 + signal.
[[noreturn]] void endBySignal(int signal);

// "SIGINT", "SIGTERM" or "SIGHUP".
const char *signalName(int signal);
