/* Preloaded into a program under test (LD_PRELOAD): every open asking for
   an unnamed file (O_TMPFILE) fails with EOPNOTSUPP, as on a file system
   without them, so the program's named-file fallback runs. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

static int refused(int flags)
{
    if ((flags & O_TMPFILE) != O_TMPFILE) return 0;
    errno = EOPNOTSUPP;
    return 1;
}

/* The mode argument exists only with O_CREAT or O_TMPFILE. */
#define MODE_OF(flags, mode)                                               \
    do {                                                                   \
        if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {       \
            va_list ap;                                                    \
            va_start(ap, flags);                                           \
            mode = va_arg(ap, int);                                        \
            va_end(ap);                                                    \
        }                                                                  \
    } while (0)

#define OPEN_SHIM(name)                                                    \
    int name(const char* path, int flags, ...)                             \
    {                                                                      \
        int mode = 0;                                                      \
        MODE_OF(flags, mode);                                              \
        if (refused(flags)) return -1;                                     \
        return ((open_fn)dlsym(RTLD_NEXT, #name))(path, flags, mode);      \
    }

#define OPENAT_SHIM(name)                                                  \
    int name(int dirfd, const char* path, int flags, ...)                  \
    {                                                                      \
        int mode = 0;                                                      \
        MODE_OF(flags, mode);                                              \
        if (refused(flags)) return -1;                                     \
        return ((openat_fn)dlsym(RTLD_NEXT, #name))(dirfd, path, flags, mode); \
    }

OPEN_SHIM(open)
OPEN_SHIM(open64)
OPENAT_SHIM(openat)
OPENAT_SHIM(openat64)
