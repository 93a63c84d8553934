#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/file_descriptor.hpp"

namespace newstars {

namespace {

// Temporary names tried before giving up (a name already taken is skipped).
constexpr int NAME_ATTEMPTS = 100;
// The longest piece of the final name kept in the temporary's name, so that the
// temporary's name stays within the system's limit on names.
constexpr std::size_t NAME_PIECE = 64;

// Makes each temporary name of the process distinct; the names carry nothing else.
std::atomic<unsigned long> temporaryNumber{0};

std::string systemText(int error)
{
    return std::strerror(error != 0 ? error : EIO);
}

// Refuses what is not a regular file or a symbolic link at path (nothing there is fine).
int checkFinalName(const std::string& path, std::string* message)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return 0;
        *message = path + ": " + systemText(errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        *message = path + ": " + (S_ISDIR(info.st_mode) ? systemText(EISDIR) : NOT_REGULAR_FILE_MESSAGE);
        return -1;
    }
    return 0;
}

// Creates a fresh temporary file beside path, telling watch each step. The open
// descriptor, with its name in *temporary; or -1 with errno set (watch told Gone).
int createTemporary(const std::string& path, const TemporaryWatch& watch, std::string* temporary)
{
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string piece = directory;
    piece += '.';
    piece.append(name, 0, NAME_PIECE);
    piece += '.';
    piece += std::to_string(getpid());
    piece += '-';
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        *temporary = piece;
        *temporary += std::to_string(temporaryNumber.fetch_add(1));
        *temporary += ".part";
        if (watch && !watch(TemporaryStep::Creating, "")) {
            errno = ECANCELED;
            return -1;
        }
        const int fd = open(temporary->c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        const int error = errno;
        if (watch)
            watch(fd >= 0 ? TemporaryStep::Created : TemporaryStep::Gone, *temporary);
        if (fd >= 0)
            return fd;
        errno = error;
        if (error != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

// Makes and removes a temporary beside finalName, to learn whether the directory takes
// new files. 0, or -1 with "shown: reason" in *message.
static int makeTrialTemporary(const std::string& finalName, const std::string& shown,
                              const TemporaryWatch& watch, std::string* message)
{
    std::string temporary;
    const int fd = createTemporary(finalName, watch, &temporary);
    if (fd < 0) {
        *message = shown + ": " + systemText(errno);
        return -1;
    }
    close(fd);
    unlink(temporary.c_str());
    if (watch)
        watch(TemporaryStep::Gone, temporary);
    return 0;
}

int checkFileWritable(const std::string& path, const TemporaryWatch& watch,
                      std::string* message)
{
    if (checkFinalName(path, message) != 0)
        return -1;
    return makeTrialTemporary(path, path, watch, message);
}

int checkDirectoryWritable(const std::string& directory, const TemporaryWatch& watch,
                           std::string* message)
{
    return makeTrialTemporary(directory + "/newstars", directory, watch, message);
}

int writeFileAtomically(const std::string& path, const void* bytes, std::size_t length,
                        const TemporaryWatch& watch, std::string* message)
{
    if (checkFinalName(path, message) != 0)
        return -1;
    std::string temporary;
    FileDescriptor fd(createTemporary(path, watch, &temporary));
    if (!fd.isOpen()) {
        *message = path + ": " + systemText(errno);
        return -1;
    }
    errno = 0;
    int failed = writeAll(fd.get(), bytes, length) != 0 ? -1 : 0;
    int error = errno;
    if (fd.reset() != 0 && failed == 0) {
        failed = -1;
        error = errno;
    }
    if (failed == 0 && rename(temporary.c_str(), path.c_str()) != 0) {
        failed = -1;
        error = errno;
    }
    if (failed != 0) {
        unlink(temporary.c_str());
        *message = path + ": " + systemText(error);
    }
    if (watch)
        watch(TemporaryStep::Gone, temporary);
    return failed;
}

} // namespace newstars
