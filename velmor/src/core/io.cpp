// Input and output files: raw little-endian counts and arrays, no header.
// The output replaces a regular file only once it is complete; it is
// written as an unnamed file (O_TMPFILE) that gets a name only then, so a
// run killed while writing leaves nothing behind.
#include "core/io.h"

#include "core/fail.h"
#include "core/stores.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int read_i32(FILE* f, int32_t* out)
{
    return fread(out, 4, 1, f) == 1;
}

// Bytes still unread, or -1 when the input is no regular file.
struct source {
    FILE* f;
    int64_t left;
};

static void read_count(source* s, int32_t* out, int32_t least, const char* msg)
{
    if (!read_i32(s->f, out) || *out < least) die(2, "%s", msg);
    if (s->left >= 0) s->left -= 4;
}

// A count the rest of the file cannot hold fails before any allocation, so a
// tiny file cannot ask for gigabytes.
static void* read_array(source* s, int64_t count, size_t elem, const char* msg)
{
    uint64_t bytes = (uint64_t)count * elem;
    if (s->left >= 0 && bytes > (uint64_t)s->left) die(2, "%s", msg);
    void* p = malloc(bytes ? bytes : 1);
    if (!p) die(2, "%s", msg);
    if (fread(p, elem, (size_t)count, s->f) != (size_t)count) die(2, "%s", msg);
    if (s->left >= 0) s->left -= (int64_t)bytes;
    return p;
}

// Every later stage indexes the vertex store with these without checking.
static void check_indices(const int32_t* idx, int64_t count, int32_t np, const char* msg)
{
    for (int64_t i = 0; i < count; i++)
        if (idx[i] < 0 || idx[i] >= np) die(2, "%s", msg);
}

void read_input(const char* path, input* in)
{
    FILE* f = fopen(path, "rb");
    if (!f) die(2, "entree illisible : %s\n", path);
    struct stat st;
    source s = {f, -1};
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) s.left = (int64_t)st.st_size;

    read_count(&s, &in->np, 3, "np invalide\n");
    in->points = (double*)read_array(&s, 3 * (int64_t)in->np, 8, "points illisibles\n");
    for (int64_t i = 0; i < 3 * (int64_t)in->np; i++)
        if (!std::isfinite(in->points[i])) die(2, "points non finis\n");

    read_count(&s, &in->nf, 1, "nf invalide\n");
    in->faces = (int32_t*)read_array(&s, 3 * (int64_t)in->nf, 4, "faces illisibles\n");
    check_indices(in->faces, 3 * (int64_t)in->nf, in->np, "faces : indice hors bornes\n");

    read_count(&s, &in->n, 3, "n invalide\n");
    in->contour = (int32_t*)read_array(&s, in->n, 4, "contour illisible\n");
    check_indices(in->contour, in->n, in->np, "contour : indice hors bornes\n");

    read_count(&s, &in->m, 1, "m invalide\n");
    in->cap = (int32_t*)read_array(&s, 3 * (int64_t)in->m, 4, "cap illisible\n");
    check_indices(in->cap, 3 * (int64_t)in->m, in->np, "cap : indice hors bornes\n");

    fclose(f);
}

static bool put(FILE* f, const void* p, size_t elem, size_t count)
{
    return fwrite(p, elem, count, f) == count;
}

static bool put_blocks(FILE* f, const verts* vs, const tris* ts, int32_t np, const double* smoothed,
                       const double* draped, double dmax)
{
    int32_t k = (int32_t)(vs->n - np), nt = (int32_t)ts->n;
    bool ok = put(f, &k, 4, 1) && put(f, vs->xyz + 3 * (int64_t)np, 8, 3 * (size_t)k) && put(f, &nt, 4, 1) &&
              put(f, ts->tri, 4, 3 * (size_t)nt);
    if (ok && smoothed) ok = put(f, smoothed + 3 * (int64_t)np, 8, 3 * (size_t)k);
    if (ok && draped) ok = put(f, draped + 3 * (int64_t)np, 8, 3 * (size_t)k) && put(f, &dmax, 8, 1);
    return ok;
}

// Writes straight into a device or a pipe, which cannot be replaced.
static void write_in_place(const char* path, const verts* vs, const tris* ts, int32_t np,
                           const double* smoothed, const double* draped, double dmax)
{
    FILE* f = fopen(path, "wb");
    if (!f) die(2, "sortie inaccessible : %s\n", path);
    bool ok = put_blocks(f, vs, ts, np, smoothed, draped, dmax) && fflush(f) == 0;
    if (fclose(f) != 0) ok = false;
    if (!ok) die(2, "sortie inaccessible : %s\n", path);
}

// An unnamed file in target's folder, or -1 where the file system refuses
// one or /proc, through which it gets its name, is missing: the caller then
// uses a named temporary file, as before O_TMPFILE.
static int open_unnamed(const char* target)
{
    const char* slash = strrchr(target, '/');
    const char* from = slash ? target : ".";
    size_t len = slash && slash > target ? (size_t)(slash - target) : 1;
    char* folder = (char*)xrealloc(nullptr, len + 1);
    memcpy(folder, from, len);
    folder[len] = 0;
    int fd = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    free(folder);
    if (fd < 0) return -1;
    char proc[32];
    struct stat ps;
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (stat(proc, &ps) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Gives the unnamed file fd the name tmp, its last six characters chosen
// until one is free: linkat never replaces an entry, so a stale file or a
// planted link under a name is left alone.
static bool link_unnamed(int fd, char* tmp)
{
    char proc[32];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    char* tail = tmp + strlen(tmp) - 6;
    for (unsigned attempt = 0; attempt < 100; attempt++) {
        snprintf(tail, 7, "%06x", ((unsigned)getpid() * 100 + attempt) & 0xffffff);
        if (linkat(AT_FDCWD, proc, AT_FDCWD, tmp, AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

void write_output(const char* path, const verts* vs, const tris* ts, int32_t np, const double* smoothed,
                  const double* draped, double dmax)
{
    // Past a file-size limit a write must fail with EFBIG rather than kill
    // the process and leave the temporary file behind.
    signal(SIGXFSZ, SIG_IGN);

    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        write_in_place(path, vs, ts, np, smoothed, draped, dmax);
        return;
    }

    // A symbolic link keeps pointing at the file it named: replace its target.
    char* resolved = nullptr;
    struct stat lst;
    if (exists && lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) resolved = realpath(path, nullptr);
    const char* target = resolved ? resolved : path;

    // A rename would replace a file the caller may not write: ask for write
    // access as opening it in place would, without truncating it.
    if (exists) {
        int probe = open(target, O_WRONLY | O_CLOEXEC);
        if (probe < 0) die(2, "sortie inaccessible : %s\n", path);
        close(probe);
    }

    size_t len = strlen(target);
    char* tmp = (char*)xrealloc(nullptr, len + 8);
    memcpy(tmp, target, len);
    memcpy(tmp + len, ".XXXXXX", 8);
    int fd = open_unnamed(target);
    bool unnamed = fd >= 0, named = false;
    if (!unnamed) {
        fd = mkstemp(tmp);
        if (fd < 0) die(2, "sortie inaccessible : %s\n", path);
        named = true;
    }

    // The mode fopen would give: the old file's, or 0666 less the umask.
    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    // A refused mode change costs permissions, not data: not a failure.
    (void)fchmod(fd, mode);
    bool ok = false;
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        close(fd);
    } else {
        ok = put_blocks(f, vs, ts, np, smoothed, draped, dmax) && fflush(f) == 0;
        // Named while its descriptor is open, with every byte in it. No
        // fsync, as before: a crash just after the run may still lose it.
        if (ok && unnamed) ok = named = link_unnamed(fileno(f), tmp);
        if (fclose(f) != 0) ok = false;
    }
    if (ok && rename(tmp, target) != 0) ok = false;
    if (!ok) {
        // Only a name this run made: the unnamed file may have none.
        if (named) unlink(tmp);
        die(2, "sortie inaccessible : %s\n", path);
    }
    free(tmp);
    free(resolved);
}
