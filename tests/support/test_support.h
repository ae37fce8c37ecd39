// Test tools shared by both programs' suites: scratch folders, running a
// program and capturing what it says, whole-file reads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system temp dir, removed with its contents when
// the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;      // exit status, or -1 when killed by a signal
    std::string out;      // standard output
    std::string err;      // standard error
};

// Runs argv[0] with the given arguments (no shell), waits, captures both
// streams. env entries ("NAME=value") are added to the inherited environment.
RunResult Run(const std::vector<std::string>& argv,
              const std::vector<std::string>& env = {});

struct RunOptions {
    std::vector<std::string> env;  // as for Run
    // The child's file-size limit (RLIMIT_FSIZE) in bytes, set before exec
    // with SIGXFSZ at its default action, as a shell's "ulimit -f" leaves
    // it; negative: inherited.
    int64_t file_size_limit = -1;
    // Called with the child's pid about every 100 microseconds while it runs.
    std::function<void(pid_t)> while_running;
};
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options);

// A while_running watcher: kills the child (SIGKILL) once it holds open a
// new file in folder, one not there when the watcher was made (an unnamed
// O_TMPFILE one included), of at least min_bytes, as /proc shows its
// descriptors. The child's input files must lie elsewhere.
class KillWhenWriting {
public:
    KillWhenWriting(const std::string& folder, uint64_t min_bytes);
    void operator()(pid_t pid);
    bool fired() const { return fired_; }
    // After a kill that caught the file already named, in the instant before
    // it replaced the output: the bytes of that file, which is removed.
    // Nothing when the file had no name yet, no longer had its own, or no
    // kill was sent.
    std::optional<std::vector<uint8_t>> TakeNamedLeftover() const;

private:
    std::string folder_;
    std::vector<std::string> earlier_;  // sorted paths
    uint64_t min_bytes_;
    bool fired_ = false;
    std::string named_;
};

// Runs argv with earlier in output, killed by a KillWhenWriting on output's
// folder once the new file holds none, a quarter and half of written's
// bytes; rounds of the three are tried again, up to five, until a kill
// landed, since a loaded machine may let a whole write pass between two
// looks. After every run: output is the earlier file or all of written; a
// file the kill caught already named (the instant before it replaced the
// output) holds all of written beside the earlier output and is removed;
// the folder holds output alone. on_killed sees each killed run. Returns
// how many runs were killed.
int KillWhileWriting(const std::vector<std::string>& argv, const std::string& output,
                     const std::vector<uint8_t>& earlier, const std::vector<uint8_t>& written,
                     const std::function<void(const RunResult&)>& on_killed = {});

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

}  // namespace testsupport
