#include "tests/ui_record.h"

#include <cstdio>

#include "engine/ui.h"

ui_record shown;

void uiStatus(const char *text)
{
    shown.statuses.emplace_back(text);
}

// Boxes and beeps go to standard error, where a test of a process that ends can match them.
void uiMessageBox(const char *caption, const char *text)
{
    fprintf(stderr, "[box: %s]%s", caption, text);
}

void uiBeep(unsigned freq_hz, unsigned)
{
    fprintf(stderr, "[beep %u Hz]", freq_hz);
}
