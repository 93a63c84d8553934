#include "search/image_file.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/file_descriptor.hpp"
#include "base/gzip_file.hpp"
#include "base/process.hpp"
#include "search/memory_budget.hpp"
#include "search/stop_signals.hpp"

namespace newstars {

// Whether the name ends exactly in one of the compressed endings, all in lower or all
// in upper case (mixed case is a plain file). ".fz" covers ".fits.fz" and ".fts.fz",
// ".gz" covers ".fits.gz".
static bool isCompressedName(const char* name)
{
    static constexpr const char* ENDINGS[] = {".fth", ".FTH", ".fz", ".FZ", ".gz", ".GZ"};
    size_t n = std::strlen(name);
    for (const char* ending : ENDINGS) {
        size_t e = std::strlen(ending);
        if (n >= e && std::strcmp(name + n - e, ending) == 0)
            return true;
    }
    return false;
}

// The template for mkdtemp of a private directory under TMPDIR (or /tmp).
static std::string privateDirectoryTemplate()
{
    const char* root = std::getenv("TMPDIR");
    std::string path = root != nullptr && root[0] != '\0' ? root : "/tmp";
    // A relative root must not turn into something that looks like an option.
    if (path[0] != '/')
        path = "./" + path;
    return path + "/newstars.XXXXXX";
}

// Removes whatever the decompressor and this code put into the private directory,
// then the directory itself. Failures are ignored: nothing more can be done.
static void removePrivateDirectory(const std::string& directory)
{
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlink((directory + "/" + entry->d_name).c_str());
        }
        closedir(dir);
    }
    rmdir(directory.c_str());
}

// Copies what the open file from holds into the new file to (created, not
// overwritten). 0 or -1.
static int copyFile(int from, const char* to)
{
    FileDescriptor out(open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out.isOpen())
        return -1;
    char buffer[65536];
    for (;;) {
        const ssize_t n = readAll(from, buffer, sizeof buffer);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        if (writeAll(out.get(), buffer, static_cast<size_t>(n)) != 0)
            return -1;
    }
    return out.reset() == 0 ? 0 : -1;
}

// Runs "PROGRAM -r name" (PROGRAM found through PATH when it holds no "/"), without a command interpreter, and
// waits for it, its output kept in *decompressor when that is not null and its process
// id in cleanup while it runs. 0 when it ran and ended with status 0, otherwise -1.
static int runDecompressor(const std::string& program, const std::string& name,
                           DecompressorOutput* decompressor, StopCleanup* cleanup)
{
    int status = 0;
    if (decompressor == nullptr) {
        if (runProgram({program, "-r", name}, &status, cleanup->child()) != 0)
            return -1;
    } else {
        std::string output, errors;
        if (runProgramCapturing({program, "-r", name}, &status, &output, &errors,
                                cleanup->child()) != 0)
            return -1;
        decompressor->output += output;
        decompressor->errors += errors;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

// Copies the compressed image into a private directory, decompresses it there and
// opens the result, which is removed at once with everything else in the directory.
// source is the file already open, or not open when opening it failed for the reason
// given.
static int openCompressedImage(const char* name, const FileDescriptor& source,
                               const std::string& reason, const std::string& program,
                               std::string* message, DecompressorOutput* decompressor)
{
    if (!source.isOpen() && reason == NOT_REGULAR_FILE_MESSAGE) {
        *message = reason;
        return -1;
    }
    // A stop signal from here on removes the directory (and stops fdecomp); removing
    // it is otherwise done here, before the registration ends with cleanup. After a stop
    // signal no directory is made (the run is ending). Nothing between claim and watch
    // allocates memory: the handler waits for this step on another thread.
    StopCleanup cleanup;
    std::string directory = privateDirectoryTemplate();
    {
        const StopSignalsHeld held;
        if (!cleanup.claim() || mkdtemp(directory.data()) == nullptr) {
            *message = "Can not create temp filename for fdecomp";
            return -1;
        }
        cleanup.watch(directory);
    }
    std::string base = directory + "/image";
    std::string copy = base + ".fth";
    if (!source.isOpen() || copyFile(source.get(), copy.c_str()) != 0) {
        *message = "Can not execute `copy " + std::string(name) + " " + copy + "' ";
        removePrivateDirectory(directory);
        return -1;
    }
    if (runDecompressor(program, copy, decompressor, &cleanup) != 0) {
        *message = "Can not execute `fdecomp -r " + copy + "' ";
        removePrivateDirectory(directory);
        return -1;
    }
    std::string decompressed = base + ".fts";
    int fd = open(decompressed.c_str(), O_RDONLY | O_CLOEXEC);
    removePrivateDirectory(directory);
    if (fd < 0)
        *message = "Can not decompress " + std::string(name);
    return fd;
}

int openImageFile(const char* name, std::string* message, DecompressorOutput* decompressor,
                  const char* program)
{
    if (isCompressedName(name)) {
        std::string reason;
        const FileDescriptor source(openRegularFile(name, &reason));
        return openCompressedImage(name, source, reason, program != nullptr ? program : "fdecomp",
                                   message, decompressor);
    }
    return openRegularFile(name, message);
}

// Whether the name ends exactly in ".fth" or ".FTH".
static bool isFthName(const char* name)
{
    const size_t n = std::strlen(name);
    return n >= 4 &&
           (std::strcmp(name + n - 4, ".fth") == 0 || std::strcmp(name + n - 4, ".FTH") == 0);
}

// Splits "FILE[HDU]" into FILE and HDU when no file has the whole name. True when
// it did.
static bool splitHduName(const char* name, std::string* file, std::string* hdu)
{
    const size_t n = std::strlen(name);
    const char* open = std::strrchr(name, '[');
    struct stat status {};
    if (n < 3 || name[n - 1] != ']' || open == nullptr || open == name || open + 2 >= name + n ||
        lstat(name, &status) == 0 || errno != ENOENT)
        return false;
    file->assign(name, open);
    hdu->assign(open + 1, name + n - 1);
    return true;
}

int openImage(const char* name, const ImageReading& reading, OpenedImage* opened,
              std::string* message, DecompressorOutput* decompressor)
{
    std::string file, hdu;
    if (splitHduName(name, &file, &hdu)) {
        const int fd = openRegularFile(file.c_str(), message);
        if (fd < 0)
            return -1;
        opened->fd = fd;
        opened->hdu = hdu;
        return 0;
    }
    if (isFthName(name)) {
        std::string reason;
        const FileDescriptor source(openRegularFile(name, &reason));
        const int fd =
            openCompressedImage(name, source, reason, reading.decompressor, message, decompressor);
        if (fd < 0)
            return -1;
        opened->fd = fd;
        opened->hdu.clear();
        return 0;
    }
    FileDescriptor source(openRegularFile(name, message));
    if (!source.isOpen())
        return -1;
    // A gzip file is read as the file it holds, expanded once in memory.
    const bool gzip = startsAsGzip(source.get());
    if (gzip) {
        bool addressLimited = false;
        const int expanded =
            expandGzipFile(source.get(), availableMemoryBytes(&addressLimited), message);
        if (expanded < 0)
            return -1;
        source.reset(expanded);
    }
    // Compressed content, and files under a compressed name, are read from the first
    // HDU holding a 2-D 16-bit image when there is one (the image the decompressor of
    // .fth files takes), otherwise as any file is: tile-compressed images through
    // CFITSIO, a 16-bit primary image by the plain reader.
    opened->hdu.clear();
    const FitsFileForm form = fitsFileForm(source.get());
    int number = 0;
    if ((gzip || form == FitsFileForm::Compressed || isCompressedName(name)) &&
        findSixteenBitImage(source.get(), &number) == 1 &&
        !(number == 0 && form == FitsFileForm::SixteenBit))
        opened->hdu = std::to_string(number);
    opened->fd = source.release();
    return 0;
}

std::string findDecompressor()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0 && static_cast<size_t>(n) < sizeof path - 1) {
        path[n] = '\0';
        std::string directory(path);
        const size_t slash = directory.rfind('/');
        if (slash != std::string::npos) {
            std::string beside = directory.substr(0, slash + 1) + "fdecomp";
            struct stat status {};
            if (stat(beside.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
                access(beside.c_str(), X_OK) == 0)
                return beside;
        }
    }
    return "fdecomp";
}

} // namespace newstars
