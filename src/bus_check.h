// canfd-flash --check: every start-up step of a real run, then up to 10 s of listening for board
// 121, and a short report on standard output that ends "Ready: ..." (status 0) or "Not ready:
// ..." (status 1), naming the one thing to fix. It never sends a frame: nothing here writes to
// the bus, and the message handler is never called.
#pragma once

constexpr int checkListenSeconds = 10;

// After start-up: listens on socket and the board's socket, reports and ends the run.
[[noreturn]] void runCheck(int socket);

// Start-up failed; its report is on the error stream.
[[noreturn]] void endCheckAtStartUp();
