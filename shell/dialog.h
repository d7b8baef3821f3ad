// The main dialog: its title, its controls and where they sit, in dialog units (x, y, width,
// height). The resource script, both windows and the tests that drive them take it from here.
#pragma once

#define VEK_TITLE "Korlund / Dravel Software Update Tool"

#define ID_PORTS 3
#define ID_PROGRAM 4
#define ID_STATUS 5

#define DIALOG_AT 32, 32, 180, 100
#define PORTS_AT 8, 14, 56, 216 // 216: the list dropped down; closed it is a line high
#define PROGRAM_AT 72, 14, 56, 14
#define STATUS_AT 8, 56, 100, 14

// The Linux window is laid out in the same units, at this many pixels each.
#define GTK_PIXELS_PER_UNIT 2
