#include "base/process.hpp"

#include <cerrno>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "base/file_descriptor.hpp"

extern char** environ;

namespace newstars {

// Starts arguments[0] with the given file actions (or none) and waits for it.
static int spawnAndWait(const std::vector<std::string>& arguments,
                        const posix_spawn_file_actions_t* actions, int* waitStatus)
{
    if (arguments.empty())
        return -1;
    std::vector<std::string> copies = arguments; // posix_spawnp takes non-const text
    std::vector<char*> argv;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    *waitStatus = status;
    return 0;
}

int runProgram(const std::vector<std::string>& arguments, int* waitStatus)
{
    return spawnAndWait(arguments, nullptr, waitStatus);
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
                        std::string* output, std::string* errors)
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
        result = spawnAndWait(arguments, &actions, &status);
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
