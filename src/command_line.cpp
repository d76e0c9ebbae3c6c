#include "command_line.h"

#include "output.h"

#include <cstdio>
#include <cstring>

static const char usage[] =
    "Usage: canfd-flash [--check | -h | --help | --version]\n"
    "\n"
    "Waits for the board at address 121 on can0 to announce itself, orders it into its\n"
    "bootloader and uploads /opt/klipper.bin to it. Image, interface and board are fixed:\n"
    "the tool takes no other arguments. can0 must be up with CAN FD on (fd on).\n"
    "\n"
    "  --check    everything but the first send: checks the image, can0 and its settings,\n"
    "             listens up to 10 s for board 121, and says whether an upload can work.\n"
    "             Run it before powering or resetting the board. It never sends a frame.\n"
    "\n"
    "Exit status: 0 the whole image went out, confirmed by can0 where it can tell\n"
    "(--check: ready); 1 an argument or the image was refused, start-up failed or can0\n"
    "could not be read (--check: not ready); 2 a block could not be sent, or can0 did not\n"
    "confirm it; killed by signal N, which a shell shows as 128 + N (130 for Ctrl-C).\n"
    "\n"
    "What each report means and what to do: man canfd-flash (DIAGNOSTICS), or the README's\n"
    "\"Exit statuses and errors\".\n";

// -h and --help are one option, as for canfd-board-sim.
static bool asksForHelp(const char *argument) {
    return strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0;
}

int handleCommandLine(int argc, const char *const *argv) {
    if (argc < 2) {
        return commandLineGoAhead;
    }
    // An argument is refused rather than ignored: `canfd-flash new.bin` must not quietly
    // flash /opt/klipper.bin instead, nor `canfd-flash --help` erase a board.
    if (argc == 2 && asksForHelp(argv[1])) {
        logText(usage, sizeof(usage) - 1);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        logFormat("canfd-flash %s\n", CANFD_FLASH_VERSION);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--check") == 0) {
        return commandLineCheck;
    }
    // After a known option, the argument that follows it is the one that is wrong.
    bool knownFirst = asksForHelp(argv[1]) || strcmp(argv[1], "--version") == 0 ||
                      strcmp(argv[1], "--check") == 0;
    const char *unexpected = knownFirst ? argv[2] : argv[1];
    reportFormat("canfd-flash: unexpected argument '%s': nothing was done\n\n", unexpected);
    reportText(usage);
    return 1;
}
