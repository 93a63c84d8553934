#pragma once
// The files a run writes besides its report: written whole or not at all, their temporary
// files removed on a stop signal, never over one of the run's inputs or over each other;
// and the check that the report itself reached standard output.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace newstars {

// Writes bytes to path through writeFileAtomically (base/atomic_file.hpp), its temporary
// file registered with the stop-signal clean-up (search/stop_signals.hpp) while it exists.
// 0, or -1 with "PATH: reason" in *message.
int writeOutputFile(const std::string& path, const void* bytes, std::size_t length,
                    std::string* message);

// checkFileWritable and checkDirectoryWritable (base/atomic_file.hpp), their trial files
// registered with the stop-signal clean-up as writeOutputFile registers its own.
int checkOutputFile(const std::string& path, std::string* message);
int checkOutputDirectory(const std::string& directory, std::string* message);

// One output of a run and the option that names it, for messages.
struct NamedOutput {
    const char* option; // "--catalog", ...
    std::string path;
};

// Refuses outputs that would overwrite an input of the run or another output: an output
// whose name, or the file it names, is one of the inputs (same device and inode, the
// names' own links and what they point to both compared), and two outputs naming one file
// (the same inode, or for files not yet there the same name in the same directory).
// Inputs that do not exist are passed over. 0, or -1 with the reason in *message:
//   "OPTION PATH names an input of the run, INPUT"
//   "OPTION PATH and OPTION PATH name the same file"
int checkOutputPaths(const std::vector<NamedOutput>& outputs,
                     const std::vector<std::string>& inputs, std::string* message);

// Whether path, or the file a link there points to, is one of the files listed
// (device and inode pairs as fileKeys gives them).
struct FileKey {
    unsigned long long device = 0, inode = 0;
    bool operator==(const FileKey&) const = default;
};
bool namesOneOf(const std::string& path, const std::vector<FileKey>& files);

// The device and inode of each path that exists, and of what each link points to.
std::vector<FileKey> fileKeys(const std::vector<std::string>& paths);

// Flushes standard output and tells whether everything written to it since the start
// went out. 0, or -1 with the system's reason in *message (the error indicator is then
// cleared, so that the failure is told once).
int finishStandardOutput(std::string* message, FILE* out = stdout);

} // namespace newstars
