// Failure exits: one message on stderr, then the status.
#include "core/fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void die(int status, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    exit(status);
}

void die_memory(const char* what)
{
    die(3, "memoire insuffisante (%s)\n", what);
}
