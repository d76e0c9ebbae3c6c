#include "command_line.h"

#include <cstdio>
#include <cstring>

static const char usage[] =
    "Usage: canfd-flash [--help | --version]\n"
    "\n"
    "Waits for the board at address 121 on can0 to announce itself, orders it into its\n"
    "bootloader and uploads /opt/klipper.bin to it. Image, interface and board are fixed:\n"
    "the tool takes no other arguments. can0 must be up with CAN FD on (fd on).\n"
    "\n"
    "Exit status: 0 the whole image was sent; 1 start-up failed or can0 could not be read;\n"
    "2 a block could not be read from the image or sent.\n";

int handleCommandLine(int argc, const char *const *argv) {
    if (argc < 2) {
        return commandLineGoAhead;
    }
    // An argument is refused rather than ignored: `canfd-flash new.bin` must not quietly
    // flash /opt/klipper.bin instead, nor `canfd-flash --help` erase a board.
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("canfd-flash %s\n", CANFD_FLASH_VERSION);
        return 0;
    }
    fprintf(stderr, "canfd-flash: unexpected argument '%s': nothing was done\n\n%s", argv[1],
            usage);
    return 1;
}
