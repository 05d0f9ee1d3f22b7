// Starting tvx-sample-server from a test: the process, the port from its "listening on" line, what
// it wrote to stderr and how it ended.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_support.h"

extern char** environ;

namespace tvxtest {

// The server program next to the test executable.
inline std::string server_program() { return double_path("tvx-sample-server"); }

// Upper bound on waiting for the server to start or stop: a guard against a hung test, not a
// measurement.
constexpr auto kServerPatience = std::chrono::seconds(30);

class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (subreaper_) prctl(PR_SET_CHILD_SUBREAPER, 0);
        if (stdout_ >= 0) close(stdout_);
        if (!stderr_path_.empty()) std::remove(stderr_path_.c_str());
    }

    // Spawns the server with `args`, its stdout on a pipe and its stderr in a temporary file.
    // Returns false (with the reason in error()) when it cannot be spawned.
    bool spawn(const std::vector<std::string>& args) {
        char path[] = "/tmp/tvx-sample-server-stderr-XXXXXX";
        const int err = mkstemp(path);
        if (err < 0) return fail("mkstemp");
        stderr_path_ = path;
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(err);
            return fail("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
        std::vector<std::string> all{server_program()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err);
        stdout_ = out[0];
        if (rc != 0) {
            pid_ = -1;
            errno = rc;
            return fail("posix_spawn " + all[0]);
        }
        return true;
    }

    // Starts the server from a short-lived intermediate process that waits for the server's line
    // and then ends, leaving the server an orphan. This test process takes the orphan in (as the
    // subreaper of its descendants) so that it can wait for it. Returns false when the chain fails.
    bool start_orphan(const std::vector<std::string>& args) {
        char path[] = "/tmp/tvx-sample-server-stderr-XXXXXX";
        const int err = mkstemp(path);
        if (err < 0) return fail("mkstemp");
        stderr_path_ = path;
        int out[2], report[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return fail("pipe");
        std::vector<std::string> all{server_program()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);

        prctl(PR_SET_CHILD_SUBREAPER, 1);
        const pid_t intermediate = fork();
        if (intermediate == 0) {
            // Only async-signal-safe calls from here: the test process may have threads.
            pid_t server = -1;
            if (posix_spawn(&server, argv[0], &actions, nullptr, argv.data(), environ) != 0) _exit(3);
            if (write(report[1], &server, sizeof server) != static_cast<ssize_t>(sizeof server)) _exit(4);
            close(out[1]);
            char c = 0;
            while (read(out[0], &c, 1) == 1 && c != '\n') {
            }
            _exit(c == '\n' ? 0 : 5);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(report[1]);
        close(err);
        stdout_ = out[0];
        pid_t server = -1;
        const bool got = intermediate > 0 && read(report[0], &server, sizeof server) == static_cast<ssize_t>(sizeof server);
        close(report[0]);
        int status = 0;
        if (intermediate > 0) waitpid(intermediate, &status, 0);
        if (!got) {
            prctl(PR_SET_CHILD_SUBREAPER, 0);
            return fail("starting the server through an intermediate process");
        }
        pid_ = server;
        subreaper_ = true;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            error_ = "the intermediate process did not see the server start; stderr: " + stderr_text();
            return false;
        }
        return true;
    }

    // Reads the first line the server prints; empty when it printed none (it ended or hung).
    std::string read_line() {
        std::string line;
        const auto until = std::chrono::steady_clock::now() + kServerPatience;
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            const ssize_t n = read(stdout_, &c, 1);
            if (n <= 0) break;
            if (c == '\n') return line;
            line.push_back(c);
        }
        return {};
    }

    // Spawns the server and reads its port from the line; false when either fails.
    bool start(const std::vector<std::string>& args = {}) {
        if (!spawn(args)) return false;
        line_ = read_line();
        std::smatch m;
        static const std::regex pattern("listening on 127\\.0\\.0\\.1:([0-9]+)");
        if (!std::regex_match(line_, m, pattern)) {
            error_ = "the server printed '" + line_ + "' instead of its address; stderr: " + stderr_text();
            return false;
        }
        port_ = std::stoi(m[1].str());
        return true;
    }

    // Waits for the process to end; returns its wait status, or -1 when it did not end in time.
    int wait() {
        if (exited_) return status_;
        const auto until = std::chrono::steady_clock::now() + kServerPatience;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = status;
                if (subreaper_) prctl(PR_SET_CHILD_SUBREAPER, 0);
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    // Whether the process is still running (not ended, not a zombie).
    bool running() {
        if (exited_) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
            return false;
        }
        return true;
    }

    // Sends `signal` and waits; the wait status, or -1.
    int stop(int signal = SIGTERM) {
        if (!exited_) kill(pid_, signal);
        return wait();
    }

    std::string stderr_text() const {
        std::ifstream in(stderr_path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string& line() const { return line_; }
    const std::string& error() const { return error_; }

private:
    bool fail(const std::string& what) {
        error_ = what + ": " + std::strerror(errno);
        return false;
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string stderr_path_;
    std::string line_;
    std::string error_;
    int port_ = 0;
    bool exited_ = false;
    int status_ = 0;
    bool subreaper_ = false;
};

// A wait status that means "exited normally with code 0".
inline ::testing::AssertionResult exited_cleanly(int status) {
    if (status == -1) return ::testing::AssertionFailure() << "the server did not stop";
    if (WIFSIGNALED(status)) return ::testing::AssertionFailure() << "the server was killed by signal " << WTERMSIG(status);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return ::testing::AssertionFailure() << "the server exited with code " << WEXITSTATUS(status);
    return ::testing::AssertionSuccess();
}

}  // namespace tvxtest
