#pragma once
// Running another program.

#include <string>
#include <vector>

namespace newstars {

// Starts the program arguments[0], found through PATH, with the given arguments and
// the caller's environment, without a command interpreter, and waits for it to end.
// 0 with *waitStatus holding its status as waitpid reports it (test with WIFEXITED,
// WEXITSTATUS); -1 when there are no arguments, the program cannot be started or the
// wait fails (*waitStatus untouched). A program started but not found on PATH may be
// reported as one that ended with status 127.
int runProgram(const std::vector<std::string>& arguments, int* waitStatus);

// runProgram with the program's standard output and standard error kept apart from the
// caller's: what it writes to them is returned in *output and *errors (replaced) once it
// has ended. -1 also when the two cannot be set up (outputs then untouched).
int runProgramCapturing(const std::vector<std::string>& arguments, int* waitStatus,
                        std::string* output, std::string* errors);

} // namespace newstars
