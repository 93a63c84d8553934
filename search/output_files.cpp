#include "search/output_files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/atomic_file.hpp"
#include "search/stop_signals.hpp"

namespace newstars {

namespace {

FileKey keyOf(const struct stat& info)
{
    return {static_cast<unsigned long long>(info.st_dev),
            static_cast<unsigned long long>(info.st_ino)};
}

// The keys of path's own entry and of the file it leads to (one key when it is no link).
std::vector<FileKey> keysOf(const std::string& path)
{
    std::vector<FileKey> keys;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0)
        keys.push_back(keyOf(info));
    if (stat(path.c_str(), &info) == 0 &&
        std::find(keys.begin(), keys.end(), keyOf(info)) == keys.end())
        keys.push_back(keyOf(info));
    return keys;
}

// The name path will have once made: its directory resolved, then its last name.
// Empty when the directory cannot be resolved.
std::string resolvedName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) == nullptr)
        return "";
    return std::string(resolved) + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

bool shareKey(const std::vector<FileKey>& a, const std::vector<FileKey>& b)
{
    for (const FileKey& k : a) {
        if (std::find(b.begin(), b.end(), k) != b.end())
            return true;
    }
    return false;
}

// Registers each temporary file with the stop-signal clean-up while it exists. The file
// is made with the stop signals held, between claiming an entry of the registry and
// filling it, so that a stop signal either finds it registered or comes before it is made.
class StopWatch {
public:
    TemporaryWatch watch()
    {
        return [this](TemporaryStep step, const std::string& temporary) {
            switch (step) {
            case TemporaryStep::Creating:
                held_.emplace();
                if (cleanup_.claim())
                    return true;
                held_.reset();
                return false;
            case TemporaryStep::Created:
                cleanup_.watchFile(temporary);
                held_.reset();
                return true;
            case TemporaryStep::Gone:
                cleanup_.release();
                held_.reset();
                return true;
            }
            return true;
        };
    }

private:
    StopCleanup cleanup_;
    std::optional<StopSignalsHeld> held_;
};

} // namespace

int writeOutputFile(const std::string& path, const void* bytes, std::size_t length,
                    std::string* message)
{
    StopWatch stop;
    return writeFileAtomically(path, bytes, length, stop.watch(), message);
}

int checkOutputFile(const std::string& path, std::string* message)
{
    StopWatch stop;
    return checkFileWritable(path, stop.watch(), message);
}

int checkOutputDirectory(const std::string& directory, std::string* message)
{
    StopWatch stop;
    return checkDirectoryWritable(directory, stop.watch(), message);
}

std::vector<FileKey> fileKeys(const std::vector<std::string>& paths)
{
    std::vector<FileKey> keys;
    for (const std::string& path : paths) {
        for (const FileKey& k : keysOf(path)) {
            if (std::find(keys.begin(), keys.end(), k) == keys.end())
                keys.push_back(k);
        }
    }
    return keys;
}

bool namesOneOf(const std::string& path, const std::vector<FileKey>& files)
{
    return shareKey(keysOf(path), files);
}

int checkOutputPaths(const std::vector<NamedOutput>& outputs,
                     const std::vector<std::string>& inputs, std::string* message)
{
    for (size_t i = 0; i < outputs.size(); ++i) {
        const std::vector<FileKey> keys = keysOf(outputs[i].path);
        for (const std::string& input : inputs) {
            if (shareKey(keys, keysOf(input))) {
                *message = std::string(outputs[i].option) + " " + outputs[i].path +
                           " names an input of the run, " + input;
                return -1;
            }
        }
        for (size_t j = 0; j < i; ++j) {
            const std::string name = resolvedName(outputs[i].path);
            if (shareKey(keys, keysOf(outputs[j].path)) ||
                (!name.empty() && name == resolvedName(outputs[j].path))) {
                *message = std::string(outputs[j].option) + " " + outputs[j].path + " and " +
                           outputs[i].option + " " + outputs[i].path + " name the same file";
                return -1;
            }
        }
    }
    return 0;
}

int finishStandardOutput(std::string* message, FILE* out)
{
    errno = 0;
    const bool flushed = std::fflush(out) == 0;
    const int error = errno;
    if (flushed && std::ferror(out) == 0)
        return 0;
    *message = std::string("standard output: ") +
               (error != 0 ? std::strerror(error) : "some of the report could not be written");
    std::clearerr(out);
    return -1;
}

} // namespace newstars
