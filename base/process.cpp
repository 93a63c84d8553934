#include "base/process.hpp"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace newstars {

int runProgram(const std::vector<std::string>& arguments, int* waitStatus)
{
    if (arguments.empty())
        return -1;
    std::vector<std::string> copies = arguments; // posix_spawnp takes non-const text
    std::vector<char*> argv;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    *waitStatus = status;
    return 0;
}

} // namespace newstars
