#pragma once
// Test helper that runs a program as a child process, without a shell, and collects
// its standard output, standard error and exit status.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
    int status = -1;       // exit status, or -1 when the program did not exit normally
    int signal = 0;        // the signal that ended the program, or 0
    bool timedOut = false; // killed when its time limit ran out
    std::string out;
    std::string err;
};

// How a program is run besides its arguments.
struct ProgramOptions {
    std::string directory; // its working directory; empty: the test's own
    std::vector<std::pair<std::string, std::string>> environment; // variables set for it
    unsigned long addressSpaceLimit = 0; // cap on its address space, bytes; 0: none
    bool unprivileged = false;           // as user and group 65534 when the test runs as root
    double timeLimit = 0; // seconds after which the program is killed (SIGKILL); 0: none
    std::string standardOutput = ""; // a file opened for writing as its standard output; empty: collected
    unsigned long fileSizeLimit = 0; // cap on the size of files it writes, bytes (SIGXFSZ
                                     // ignored, so writes past it fail); 0: none
};

// Runs arguments[0] with arguments as its argv; a name without '/' is looked up on the
// test's own PATH. The program inherits the test's environment with options.environment
// set over it. When the child cannot be set up the status is 126, when the program
// cannot be started 127. Throws std::runtime_error when no child can be made.
inline ProgramResult runProgram(const std::vector<std::string>& arguments,
                                const ProgramOptions& options = {})
{
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const auto& [name, value] : options.environment)
            replaced = replaced || (std::strncmp(*entry, name.c_str(), name.size()) == 0 &&
                                    (*entry)[name.size()] == '=');
        if (!replaced)
            environment.push_back(*entry);
    }
    for (const auto& [name, value] : options.environment)
        environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        if (dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0)
            _exit(126);
        if (!options.standardOutput.empty()) {
            const int out = open(options.standardOutput.c_str(), O_WRONLY | O_CLOEXEC);
            if (out < 0 || dup2(out, 1) < 0)
                _exit(126);
        }
        if (options.fileSizeLimit != 0) {
            rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
                _exit(126);
        }
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0)
            _exit(126);
        if (options.addressSpaceLimit != 0) {
            rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
            if (setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(126);
        }
        if (options.unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("fork failed");
    }

    ProgramResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    while (open > 0) {
        int wait = -1;
        if (options.timeLimit > 0) {
            double left = options.timeLimit - elapsed();
            if (left <= 0) {
                // Its children may keep the pipes open: stop reading once it is killed.
                kill(pid, SIGKILL);
                result.timedOut = true;
                break;
            }
            wait = static_cast<int>(left * 1000) + 1;
        }
        if (poll(fds, 2, wait) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0)
            close(fd.fd);
    }
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    result.status = waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = waited == pid && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}
