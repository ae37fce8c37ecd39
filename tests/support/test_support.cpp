// Scratch folders, child processes and file bytes for the test suites.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "meshtools-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

// The child side of a run with a file-size limit: posix_spawn cannot set
// one. Only async-signal-safe calls between fork and exec.
static pid_t ForkWithLimit(char* const* args, char* const* envp, int out_fd, int err_fd, int64_t limit)
{
    pid_t pid = fork();
    if (pid != 0) return pid;
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGXFSZ, &dfl, nullptr);
    rlimit rl = {(rlim_t)limit, (rlim_t)limit};
    int in_fd = open("/dev/null", O_RDONLY);
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0 || in_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
        dup2(err_fd, 2) < 0)
        _exit(127);
    execve(args[0], args, envp);
    _exit(127);
}

RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    RunOptions options;
    options.env = env;
    return Run(argv, options);
}

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
    for (const std::string& e : options.env) env_store.push_back(e);
    std::vector<char*> envp;
    for (std::string& e : env_store) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = 0;
    if (options.file_size_limit >= 0) {
        pid = ForkWithLimit(args.data(), envp.data(), out_pipe[1], err_pipe[1], options.file_size_limit);
        if (pid < 0) rc = errno;
    } else {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + strerror(rc));
    }

    RunResult result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buf[65536];
    const timespec tick = {0, 100000};
    while (open_count > 0) {
        if (options.while_running) options.while_running(pid);
        if (ppoll(fds, 2, options.while_running ? &tick : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, (size_t)got);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {}
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
}

KillWhenWriting::KillWhenWriting(const std::string& folder, uint64_t min_bytes)
    : folder_(std::filesystem::canonical(folder).string()), min_bytes_(min_bytes)
{
    for (const auto& e : std::filesystem::directory_iterator(folder_)) earlier_.push_back(e.path().string());
    std::sort(earlier_.begin(), earlier_.end());
}

void KillWhenWriting::operator()(pid_t pid)
{
    if (fired_) return;
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fd_dir.c_str());
    if (!dir) return;
    while (dirent* e = readdir(dir)) {
        const std::string link = fd_dir + "/" + e->d_name;
        char target[4096];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        // An unnamed file shows as "<folder>/#<inode> (deleted)".
        const std::string path = target;
        if (path.compare(0, folder_.size() + 1, folder_ + "/") != 0) continue;
        if (std::binary_search(earlier_.begin(), earlier_.end(), path)) continue;
        struct stat st;
        if (stat(link.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (uint64_t)st.st_size < min_bytes_) continue;
        kill(pid, SIGKILL);
        fired_ = true;
        const std::string unnamed_tail = " (deleted)";
        if (path.size() < unnamed_tail.size() ||
            path.compare(path.size() - unnamed_tail.size(), unnamed_tail.size(), unnamed_tail) != 0)
            named_ = path;
        break;
    }
    closedir(dir);
}

std::optional<std::vector<uint8_t>> KillWhenWriting::TakeNamedLeftover() const
{
    if (named_.empty() || !std::filesystem::exists(named_)) return std::nullopt;
    std::vector<uint8_t> bytes = ReadBytes(named_);
    std::filesystem::remove(named_);
    return bytes;
}

int KillWhileWriting(const std::vector<std::string>& argv, const std::string& output,
                     const std::vector<uint8_t>& earlier, const std::vector<uint8_t>& written,
                     const std::function<void(const RunResult&)>& on_killed)
{
    const std::filesystem::path out(output);
    const std::string folder = out.parent_path().string();
    int killed = 0;
    for (int round = 0; round < 5 && killed == 0; round++) {
        for (uint64_t min_bytes : {uint64_t(0), written.size() / 4, written.size() / 2}) {
            SCOPED_TRACE(min_bytes);
            WriteBytes(output, earlier);
            KillWhenWriting kill(folder, min_bytes);
            RunOptions options;
            options.while_running = std::ref(kill);
            const RunResult r = Run(argv, options);
            const std::vector<uint8_t> left = ReadBytes(output);
            EXPECT_TRUE(left == earlier || left == written) << left.size() << " bytes";
            if (const auto leftover = kill.TakeNamedLeftover()) {
                EXPECT_TRUE(left == earlier) << left.size() << " bytes";
                EXPECT_TRUE(*leftover == written) << leftover->size() << " bytes left beside it";
            }
            std::vector<std::string> names;
            for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
            EXPECT_EQ(names, std::vector<std::string>{out.filename().string()});
            if (r.status != -1) continue;
            killed++;
            if (on_killed) on_killed(r);
        }
    }
    return killed;
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path)
{
    return std::filesystem::exists(path);
}

}  // namespace testsupport
