// libFuzzer target: velmor's input reader followed by the whole --drape road
// on what it read, with small bounds so that one input runs in milliseconds.
//
// velmor ends every failure with exit(); the link wraps exit so that a call
// made during a run jumps back here instead (-Wl,--wrap=exit). velmor also
// keeps its input and stores until the process ends, so the link wraps the
// allocator too and every block that the run still holds is freed when it
// ends, however it ends: a run leaks nothing into the next one.
#include <omp.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <sanitizer/lsan_interface.h>

#include "core/params.h"
#include "velmor_bounds.h"

int velmor_main(int argc, char** argv);

extern "C" {
[[noreturn]] void __real_exit(int status);
void* __real_malloc(size_t bytes);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t bytes);
void __real_free(void* p);
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fdopen(int fd, const char* mode);
int __real_fclose(FILE* f);
}

namespace {

bool g_in_run = false;
jmp_buf g_run_end;
int g_exit_status = 0;

// Blocks that velmor's own code allocated during the current run, stored
// masked so that the leak checker does not take the set for a reference to
// them. Only the set's nodes come from operator new, which is not wrapped.
constexpr uintptr_t kHide = 0x5a5a5a5a5a5a5a5aull;
std::unordered_set<uintptr_t>* g_live = nullptr;
bool g_tracking = false;
// Blocks still held after the first run that ended normally: the input and
// the stores that main keeps in its statics until the process ends.
size_t g_kept_baseline = 0;

// Guards the set when an OpenMP worker allocates.
struct SpinLock {
    volatile int flag = 0;
    void lock() { while (__sync_lock_test_and_set(&flag, 1)) {} }
    void unlock() { __sync_lock_release(&flag); }
} g_lock;

void Track(void* p)
{
    if (!p || !g_tracking) return;
    g_lock.lock();
    g_live->insert((uintptr_t)p ^ kHide);
    g_lock.unlock();
}

void Untrack(void* p)
{
    if (!p || !g_tracking) return;
    g_lock.lock();
    g_live->erase((uintptr_t)p ^ kHide);
    g_lock.unlock();
}

// Streams that the current run opened and has not closed; velmor opens at
// most two at once.
FILE* g_open_streams[8];
int g_nopen = 0;

void TrackStream(FILE* f)
{
    if (!f || !g_tracking) return;
    if (g_nopen == 8) abort();
    g_open_streams[g_nopen++] = f;
}

void UntrackStream(FILE* f)
{
    for (int i = 0; i < g_nopen; i++)
        if (g_open_streams[i] == f) {
            g_open_streams[i] = g_open_streams[--g_nopen];
            return;
        }
}

void FreeEverythingLive()
{
    g_tracking = false;
    for (uintptr_t h : *g_live) __real_free((void*)(h ^ kHide));
    g_live->clear();
    while (g_nopen > 0) __real_fclose(g_open_streams[--g_nopen]);
}

int g_input_fd = -1;
std::string g_input_path, g_output_path;
FILE* g_quiet = nullptr;
params g_defaults;

}  // namespace

extern "C" {

[[noreturn]] void __wrap_exit(int status)
{
    // A jump out of an OpenMP worker would strand the team: let it abort.
    if (g_in_run && !omp_in_parallel()) {
        g_exit_status = status;
        longjmp(g_run_end, 1);
    }
    if (g_in_run) abort();
    __real_exit(status);
}

void* __wrap_malloc(size_t bytes)
{
    void* p = __real_malloc(bytes);
    Track(p);
    return p;
}

void* __wrap_calloc(size_t count, size_t size)
{
    void* p = __real_calloc(count, size);
    Track(p);
    return p;
}

void* __wrap_realloc(void* p, size_t bytes)
{
    void* q = __real_realloc(p, bytes);
    if (q || bytes == 0) Untrack(p);
    Track(q);
    return q;
}

void __wrap_free(void* p)
{
    Untrack(p);
    __real_free(p);
}

FILE* __wrap_fopen(const char* path, const char* mode)
{
    FILE* f = __real_fopen(path, mode);
    TrackStream(f);
    return f;
}

FILE* __wrap_fdopen(int fd, const char* mode)
{
    FILE* f = __real_fdopen(fd, mode);
    TrackStream(f);
    return f;
}

int __wrap_fclose(FILE* f)
{
    if (g_tracking) UntrackStream(f);
    return __real_fclose(f);
}

}  // extern "C"

namespace {

// One whole run of velmor on the input file; returns its exit status.
int RunOnce(int threads)
{
    constexpr int kBounds = (int)(sizeof kVelmorFuzzBounds / sizeof kVelmorFuzzBounds[0]);
    constexpr int argc = 4 + kBounds;
    char* argv[argc + 1];
    const char* words[4] = {"velmor", "--drape", g_input_path.c_str(), g_output_path.c_str()};
    for (int i = 0; i < 4; i++) argv[i] = const_cast<char*>(words[i]);
    for (int i = 0; i < kBounds; i++) argv[4 + i] = const_cast<char*>(kVelmorFuzzBounds[i]);
    argv[argc] = nullptr;

    omp_set_num_threads(threads);
    g_par = g_defaults;
    FILE* const saved_stderr = stderr;
    if (g_quiet) stderr = g_quiet;
    g_exit_status = 0;
    g_in_run = true;
    g_tracking = true;
    volatile bool returned = false;
    if (setjmp(g_run_end) == 0) {
        velmor_main(argc, argv);
        returned = true;
    }
    g_in_run = false;
    g_tracking = false;
    stderr = saved_stderr;
    // After a normal end main's statics still hold their blocks; more blocks
    // than that is worth a leak check (too slow to run after every input).
    // An exit leaves its blocks behind by design.
    if (returned) {
        if (g_kept_baseline == 0) g_kept_baseline = g_live->size();
        if (g_live->size() > g_kept_baseline && __lsan_do_recoverable_leak_check() != 0) {
            fprintf(stderr, "velmor leaked memory on a run that ended normally\n");
            abort();
        }
    }
    FreeEverythingLive();
    return g_exit_status;
}

std::vector<uint8_t> ReadOutput()
{
    std::vector<uint8_t> bytes;
    FILE* f = __real_fopen(g_output_path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
    __real_fclose(f);
    return bytes;
}

}  // namespace

extern "C" {
int LLVMFuzzerInitialize(int*, char***)
{
    // Idle workers sleep at once instead of spinning between regions: the
    // fuzzer's own core stays with the main thread.
    setenv("OMP_WAIT_POLICY", "PASSIVE", 0);
    g_live = new std::unordered_set<uintptr_t>();
    // Buckets allocated once: a run then frees as many blocks as it takes.
    g_live->reserve(1 << 16);
    g_defaults = g_par;
    g_input_fd = memfd_create("velmor-input", 0);
    if (g_input_fd < 0) {
        perror("memfd_create");
        abort();
    }
    g_input_path = "/proc/self/fd/" + std::to_string(g_input_fd);
    // A regular file, so that the output takes velmor's own replace-whole
    // road; tmpfs keeps it cheap.
    g_output_path = "/dev/shm/velmor-fuzz-" + std::to_string(getpid()) + ".out";
    // velmor's stage lines would drown the fuzzer's own; VELMOR_FUZZ_VERBOSE
    // keeps them for replaying one input.
    if (!getenv("VELMOR_FUZZ_VERBOSE")) g_quiet = fopen("/dev/null", "w");
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftruncate(g_input_fd, 0) != 0 || pwrite(g_input_fd, data, size, 0) != (ssize_t)size) abort();

    const int status = RunOnce(1);
    // A malformed input is refused with status 2; 3 (memory) cannot come
    // from inputs this small and 4 is an internal fault.
    if (status != 0 && status != 2) {
        fprintf(stderr, "velmor ended with status %d\n", status);
        abort();
    }
    if (status != 0) return 0;

    // The same bytes for any team size. Only a run that created points has
    // parallel work worth comparing (the drape runs only then), and only one
    // input in four, chosen by its bytes so that a finding replays: a second
    // run on two threads costs twice the first.
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i++) hash = (hash ^ data[i]) * 16777619u;
    const std::vector<uint8_t> alone = ReadOutput();
    int32_t created = 0;
    if (alone.size() >= 4) memcpy(&created, alone.data(), 4);
    if (created > 0 && hash % 4 == 0) {
        const int status2 = RunOnce(2);
        if (status2 != 0 || ReadOutput() != alone) {
            fprintf(stderr, "velmor gave another result with 2 threads (status %d)\n", status2);
            abort();
        }
    }
    unlink(g_output_path.c_str());
    return 0;
}

}  // extern "C"
