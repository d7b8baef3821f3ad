// What the engine shows to the operator. Each executable defines these for its own window
// system; the tests define their own and record what was shown.
#pragma once

// Replace the text of the one-line status field.
void uiStatus(const char *text);

// Modal warning box with one OK button; returns once the operator has dismissed it.
void uiMessageBox(const char *caption, const char *text);

void uiBeep(unsigned freq_hz, unsigned duration_ms);
