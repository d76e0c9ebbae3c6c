// The command line: the tool takes no arguments but --check, -h, --help and --version.
#pragma once

// Returned by handleCommandLine when the upload is to go ahead.
constexpr int commandLineGoAhead = -1;
// Returned for --check: everything but the first send.
constexpr int commandLineCheck = -2;

// Answers --help and --version (status 0) and refuses anything else with the usage on the
// error stream (status 1). Returns the status to exit with, commandLineGoAhead when there are no
// arguments, or commandLineCheck.
int handleCommandLine(int argc, const char *const *argv);
