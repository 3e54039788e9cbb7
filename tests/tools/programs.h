// Runs zavsim and zavctl as processes for the tool tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

struct Result {
    int exit_status = -1;
    std::string output; // standard output and standard error
};

// Words put before every program started here: the emulator that a cross
// build's programs need (empty in a native build).
#ifndef ZAV_TOOL_LAUNCHER
#define ZAV_TOOL_LAUNCHER
#endif
inline const char *const kLauncher[] = {ZAV_TOOL_LAUNCHER nullptr};

// Starts a program with its standard output and error on a pipe; *out reads
// it. A file_limit above 0 caps the size of the files it writes: a write past
// it fails (EFBIG) instead of stopping the program.
inline pid_t spawn(const std::vector<std::string> &args, int *out, long file_limit = 0) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        if (file_limit > 0) {
            const rlimit limit{static_cast<rlim_t>(file_limit), static_cast<rlim_t>(file_limit)};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        std::vector<char *> argv;
        for (const char *word : kLauncher) {
            if (word != nullptr) argv.push_back(const_cast<char *>(word));
        }
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    *out = pipe_fds[0];
    return pid;
}

inline Result run(const std::vector<std::string> &args, long file_limit = 0) {
    int out = -1;
    const pid_t pid = spawn(args, &out, file_limit);
    Result result;
    if (pid < 0) return result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out, buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
    close(out);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return result;
}

// ZAVCTL_UNDER_TEST runs the same sessions against another zavctl (an older
// build, say).
inline Result zavctl(const std::vector<std::string> &args, long file_limit = 0) {
    const char *other = getenv("ZAVCTL_UNDER_TEST");
    std::vector<std::string> all = {other != nullptr && *other != '\0' ? other : ZAVCTL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return run(all, file_limit);
}

// zavsim in the background, its output collected as it comes.
class Simulator {
public:
    explicit Simulator(const std::vector<std::string> &args) {
        char dir[] = "/tmp/zavsim-test-XXXXXX";
        dir_ = mkdtemp(dir);
        link_ = dir_ + "/ttyZAV";
        std::vector<std::string> all = {ZAVSIM_PATH, "--link", link_};
        all.insert(all.end(), args.begin(), args.end());
        pid_ = spawn(all, &out_);
    }

    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        rmdir(dir_.c_str());
    }

    const std::string &port() const { return link_; }

    // Waits until the output contains text (or the deadline passes).
    bool wait_for(const std::string &text, double timeout_ms = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(timeout_ms);
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            pollfd pfd{out_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
            char buffer[4096];
            const ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) return false;
            output_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    const std::string &output() const { return output_; }

    // Stops it and tells whether it removed its link.
    bool stop_and_check_link_removed() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return access(link_.c_str(), F_OK) != 0;
    }

private:
    std::string dir_, link_, output_;
    pid_t pid_ = -1;
    int out_ = -1;
};
