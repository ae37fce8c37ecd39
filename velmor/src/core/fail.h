// Failure exits and releases: every failure prints its one message and ends
// the process where it is found; velmor throws nothing and never aborts.
#pragma once

#include <cstdint>
#include <cstdlib>

// Prints the formatted message to stderr and ends the process with status.
[[noreturn]] void die(int status, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// "memoire insuffisante (<what>)\n", status 3.
[[noreturn]] void die_memory(const char* what);

// Frees every block and nulls its pointer, so a second free is harmless.
template <class... T>
inline void free_and_null(T*&... blocks)
{
    ((free(blocks), blocks = nullptr), ...);
}

// Room for need records in *array, old records kept, for a table that is kept
// and grown; "memoire insuffisante (<what>)\n", status 3, when refused.
template <class T>
inline void grow_or_die(T** array, int64_t need, const char* what)
{
    T* grown = (T*)realloc(*array, (size_t)need * sizeof(T));
    if (!grown) die_memory(what);
    *array = grown;
}
