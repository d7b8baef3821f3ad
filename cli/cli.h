// The programs run from the command line, for production lines and test benches: the same run
// as the window's, on ports given as options, without a window or a display.
#pragma once

#include <cstdint>

// What a command tells its caller. With several ports the exit code is that of the first port,
// in the order of the --port options, that did not end programmed; interrupted when the
// command was interrupted; report when a unit's report line is not safe, whatever else happened.
enum cli_exit {
    EXIT_PROGRAMMED = 0,    // every device programmed, verified and reset
    EXIT_PORT = 1,          // a port could not be opened or set up, as the window's fatal box
    EXIT_USAGE = 2,         // the command line is wrong, or the window has no display
    EXIT_VERIFY_FAILED = 3, // the device's CRC differs from the image's: it was not reset
    EXIT_NO_ANSWER = 4,     // no good reply for the --give-up time
    EXIT_INTERRUPTED = 5,   // Ctrl-C, SIGTERM or the console closed
    EXIT_REPORT = 6,        // a report line could not be written, or not made safe on the disk
};

// Runs the command line (argv[0] is the program's name) with the image the program carries;
// the exit code. Standard output must pass each line on as it is printed (line buffered, or
// unbuffered where the runtime has no line buffering): a port's lines then reach the command
// in order with what the link says on standard error.
int CommandLine(int argc, char **argv, const void *image, uint32_t length);

// While a command-line run goes on, the engine's status texts, its fatal box and its beeps are
// the command's: each shell's ui functions hand them on here first, and go on only on false.
bool CliStatus(const char *text);
bool CliBox(const char *caption, const char *text);
bool CliBeep();
