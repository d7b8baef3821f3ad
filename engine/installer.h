// The programming sequence that moves the image into the target, over the one record.
#pragma once

#include "engine/record.h"

// The one record. The shell fills the link, the buffer and the image; the engine does the rest.
extern installer_t installer;

int prog_init(T t);
void tran(T t, state_t new_state);
void do_program(T t);

[[gnu::format(printf, 1, 2)]] void status(const char *fmt, ...);
[[noreturn]] void Terminate(const char *Error);
