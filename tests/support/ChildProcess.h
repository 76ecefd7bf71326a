// A program that a test starts and watches from outside: its exit status, when it ended, what it
// wrote. Killed and reaped if the test leaves it running.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// CLOCK_MONOTONIC in milliseconds: the same clock in every process of the machine.
inline std::int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// How often `piece` occurs in `text`.
inline int Count(const std::string& text, const std::string& piece) {
    int count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// Where a child's standard streams lead.
struct ChildFiles {
    std::string in = "/dev/null";
    std::string out = "/dev/null";
    std::string err = "/dev/null";
    int descriptorFor3 = -1;  // handed to the child as its file descriptor 3
    // In a process group of its own, whose parent is this process: never an orphaned group,
    // whose members the kernel does not stop for SIGTSTP, SIGTTIN or SIGTTOU.
    bool ownProcessGroup = false;
};

class ChildProcess {
  public:
    using Files = ChildFiles;

    // Starts `arguments` (looked up in PATH), with this process's environment changed by `env`.
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& env = {}, const Files& files = {}) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string variable = *entry;
            if (env.count(variable.substr(0, variable.find('='))) == 0)
                environment.push_back(variable);
        }
        for (const auto& [key, value] : env) environment.push_back(key + "=" + value);
        std::vector<char*> argv, envp;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (const std::string& variable : environment)
            envp.push_back(const_cast<char*>(variable.c_str()));
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, files.in.c_str(), O_RDWR, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, files.out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, files.err.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (files.descriptorFor3 >= 0) {
            posix_spawn_file_actions_adddup2(&actions, files.descriptorFor3, 3);
        }
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (files.ownProcessGroup) {
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes, 0);
        }
        if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) {
            pid_ = 0;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (pid_ == 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int signal) const { ::kill(pid_, signal); }
    // Its state as /proc/PID/stat shows it ('T' stopped, 'S' sleeping, 'R' running ...); 0 when
    // it cannot be read.
    char State() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const std::size_t name = text.rfind(')');  // the name in parentheses may hold anything
        return name != std::string::npos && name + 2 < text.size() ? text[name + 2] : 0;
    }
    // The exit status (128 + the signal for one that killed it) once it has ended within
    // `limit`; `endedAt` then holds when it was seen to end.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ != 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                endedAt = MonotonicMs();
                pid_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return std::nullopt;
    }

    std::int64_t endedAt = 0;

  private:
    pid_t pid_ = 0;
};

// Polls `condition` every 20 ms until it holds; false after `limit`.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
