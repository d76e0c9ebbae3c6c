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

// "SIGINT", "SIGTERM" or "SIGHUP".
const char *signalName(int signal);
