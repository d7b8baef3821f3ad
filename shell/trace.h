// Test aid of the GTK window: with VEK_STATUS_TRACE naming a file, what the window shows is
// appended to it, read back from the widgets as they change, so that the end-to-end tests see
// what the operator sees rather than what the program meant to show. Status texts are lines of
// their own; the other widgets' lines start with '@' and their name:
//   @progress FRACTION TEXT normal|error   @hint TEXT   (after each step that changed them)
//   @list SELECTED<TAB>PATH...   @ports-hint TEXT   (after each probe of the ports)
//   @row PATH<TAB>DESCRIPTION   (each entry of the open list, as shown)
#pragma once

#include <gtk/gtk.h>

// The window's widgets, once made; nothing is traced without VEK_STATUS_TRACE. The trace's
// handlers run after the window's own, so each reads what the window has just done.
void TraceStart(GtkWidget *window, GtkWidget *status, GtkWidget *progress, GtkWidget *hint,
                GtkDropDown *ports, GtkWidget *ports_hint);

// The port list as it stands, after each probe of the ports.
void TracePorts();
