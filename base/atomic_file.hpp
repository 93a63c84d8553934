#pragma once
// Writing a whole output file so that its name never holds a partial one: the bytes go to
// a fresh temporary file in the same directory, which is renamed over the name once it is
// complete and closed.

#include <cstddef>
#include <functional>
#include <string>

namespace newstars {

// The steps of a temporary file's life that a TemporaryWatch is told, so that a caller can
// remove the file should the process be stopped meanwhile.
enum class TemporaryStep {
    Creating, // the file is about to be made (no path yet): false refuses, nothing is made
    Created,  // the file is there, at the path given
    Gone,     // no file is left under the path (renamed into place, removed, or not made)
};
using TemporaryWatch = std::function<bool(TemporaryStep step, const std::string& temporaryPath)>;

// Checks that a file can be written at path by writeFileAtomically: a file already there
// must be a regular file or a symbolic link (which is replaced, not followed), and the
// directory must take a new file (a temporary one is created and removed again, watch told
// as writeFileAtomically tells it). 0, or -1 with "PATH: reason" in *message.
int checkFileWritable(const std::string& path, const TemporaryWatch& watch,
                      std::string* message);

// Checks that directory takes new files (a temporary one is created and removed again, as
// above). 0, or -1 with "DIRECTORY: reason" in *message.
int checkDirectoryWritable(const std::string& directory, const TemporaryWatch& watch,
                           std::string* message);

// Writes length bytes to path: to a temporary file ".<name>.<number>.part" beside it, made
// with O_CREAT | O_EXCL | O_NOFOLLOW (mode 0644 less the umask), renamed over path once
// every byte is written and the file closed. A symbolic link at path is itself replaced;
// a directory, device, FIFO or socket there is refused. Returns 0; or -1 with
// "PATH: reason" in *message, path then untouched and no temporary file left (when watch
// refuses a file, the reason is ECANCELED's). watch may be empty.
int writeFileAtomically(const std::string& path, const void* bytes, std::size_t length,
                        const TemporaryWatch& watch, std::string* message);

} // namespace newstars
