// The windows' two facts, which the command line and the port lists share with them: the range
// of port numbers the Windows list may offer, and the period of the timer that steps a run.
#pragma once

enum {
    COM_MAX = 999,              // entries in the port table: COM1 to COM998
    WINDOWS_TIMER_PERIOD = 100, // ms from the end of one step to the next
};
