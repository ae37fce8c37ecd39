// Test tools shared by both programs' suites: scratch folders, running a
// program and capturing what it says, whole-file reads.
#pragma once

#include <cstdint>
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

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

}  // namespace testsupport
