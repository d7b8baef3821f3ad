#include "ports/port_open.h"

#include <cstdio>

bool PortOpens(const char *path)
{
    FILE *f = fopen(path, "r");
    const bool opens = f != nullptr;
    if (opens)
        fclose(f);
    return opens;
}
