// The open that tells whether one port is free, on its own so that a test can link its own in
// its place (a port whose open stalls cannot be made under Wine).
#pragma once

// Whether the port at path (\\.\comN) opens for reading now; it is closed again at once. Blocks
// for as long as the port's driver holds the open.
bool PortOpens(const char *path);
