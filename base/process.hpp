#pragma once
// Running another program.

#include <atomic>
#include <string>
#include <sys/types.h>
#include <vector>

namespace newstars {

// Starts the program arguments[0], found through PATH, with the given arguments and
// the caller's environment, without a command interpreter, and waits for it to end.
// 0 with *waitStatus holding its status as waitpid reports it (test with WIFEXITED,
// WEXITSTATUS); -1 when there are no arguments, the program cannot be started or the
// wait fails (*waitStatus untouched). A program started but not found on PATH may be
// reported as one that ended with status 127.
// The program starts with no signal blocked, whatever the caller blocks. When running is
// not null it holds the program's process id from its start until it has ended (it is
// cleared before the ended program is reaped), and 0 otherwise; the calling thread
// holds every signal off while it stores and clears it, so that a signal handler that
// reads it never finds an id of another process.
// With running, the program starts only when running holds 0: it is set to
// PROGRAM_STARTING (signals held) until the id is stored. A signal handler on another
// thread that wants no program to start from then on waits while it holds
// PROGRAM_STARTING and then exchanges its value for PROGRAM_REFUSED (compare and swap):
// a program not yet started is not started (-1), and one that runs (the id it found)
// is the handler's to stop and reap; it is then not reaped here (-1).
int runProgram(const std::vector<std::string>& arguments, int* waitStatus,
               std::atomic<pid_t>* running = nullptr);

// The values of runProgram's running besides 0 and a process id.
inline constexpr pid_t PROGRAM_STARTING = -1;
inline constexpr pid_t PROGRAM_REFUSED = -2;

// runProgram with the program's standard output and standard error kept apart from the
// caller's: what it writes to them is returned in *output and *errors (replaced) once it
// has ended. -1 also when the two cannot be set up (outputs then untouched).
int runProgramCapturing(const std::vector<std::string>& arguments, int* waitStatus,
                        std::string* output, std::string* errors,
                        std::atomic<pid_t>* running = nullptr);

} // namespace newstars
