#include "base/process.hpp"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "base/file_descriptor.hpp"

extern char** environ;

namespace newstars {

// Holds every signal off in the calling thread for its lifetime (when on).
class SignalsHeld {
public:
    explicit SignalsHeld(bool on) : on_(on)
    {
        if (on_) {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, &saved_);
        }
    }
    ~SignalsHeld()
    {
        if (on_)
            pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    bool on_;
    sigset_t saved_{};
};

// Starts arguments[0] with the given file actions (or none), no signal blocked in it,
// and waits for it, its id in *running (when not null) while it runs.
static int spawnAndWait(const std::vector<std::string>& arguments,
                        const posix_spawn_file_actions_t* actions, int* waitStatus,
                        std::atomic<pid_t>* running)
{
    if (arguments.empty())
        return -1;
    std::vector<std::string> copies = arguments; // posix_spawnp takes non-const text
    std::vector<char*> argv;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return -1;
    sigset_t none;
    sigemptyset(&none);
    pid_t pid = 0;
    int spawned = -1;
    if (posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK) == 0) {
        const SignalsHeld held(running != nullptr);
        pid_t idle = 0;
        if (running == nullptr || running->compare_exchange_strong(idle, PROGRAM_STARTING)) {
            spawned = posix_spawnp(&pid, argv[0], actions, &attributes, argv.data(), environ);
            if (running != nullptr)
                running->store(spawned == 0 ? pid : 0);
        }
    }
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return -1;
    if (running != nullptr) {
        // Wait without reaping: until it is reaped its id cannot pass to another process.
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
               errno == EINTR) {
        }
    }
    const SignalsHeld held(running != nullptr);
    pid_t ours = pid;
    if (running != nullptr && !running->compare_exchange_strong(ours, 0))
        return -1; // refused meanwhile: the one who refused it reaps it
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    *waitStatus = status;
    return 0;
}

int runProgram(const std::vector<std::string>& arguments, int* waitStatus,
               std::atomic<pid_t>* running)
{
    return spawnAndWait(arguments, nullptr, waitStatus, running);
}

// The whole content of the memory file fd, read from its start. 0 or -1.
static int readMemoryFile(int fd, std::string* text)
{
    text->clear();
    char piece[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, piece, sizeof piece, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        text->append(piece, static_cast<size_t>(n));
        at += n;
    }
}

int runProgramCapturing(const std::vector<std::string>& arguments, int* waitStatus,
                        std::string* output, std::string* errors, std::atomic<pid_t>* running)
{
    const FileDescriptor out(memfd_create("program-output", MFD_CLOEXEC));
    const FileDescriptor err(memfd_create("program-errors", MFD_CLOEXEC));
    if (!out.isOpen() || !err.isOpen())
        return -1;
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    int status = 0;
    int result = -1;
    if (posix_spawn_file_actions_adddup2(&actions, out.get(), 1) == 0 &&
        posix_spawn_file_actions_adddup2(&actions, err.get(), 2) == 0)
        result = spawnAndWait(arguments, &actions, &status, running);
    posix_spawn_file_actions_destroy(&actions);
    std::string outText, errText;
    if (result != 0 || readMemoryFile(out.get(), &outText) != 0 ||
        readMemoryFile(err.get(), &errText) != 0)
        return -1;
    *waitStatus = status;
    *output = std::move(outText);
    *errors = std::move(errText);
    return 0;
}

} // namespace newstars
