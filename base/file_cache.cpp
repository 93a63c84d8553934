#include "base/file_cache.hpp"

#include <sys/stat.h>

namespace newstars {

int fileIdentity(const char* name, FileIdentity* identity)
{
    struct stat status;
    if (stat(name, &status) != 0)
        return -1;
    identity->device = static_cast<uint64_t>(status.st_dev);
    identity->inode = static_cast<uint64_t>(status.st_ino);
    identity->size = static_cast<int64_t>(status.st_size);
    identity->modifiedSeconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    identity->modifiedNanoseconds = static_cast<int64_t>(status.st_mtim.tv_nsec);
    identity->changedSeconds = static_cast<int64_t>(status.st_ctim.tv_sec);
    identity->changedNanoseconds = static_cast<int64_t>(status.st_ctim.tv_nsec);
    return 0;
}

} // namespace newstars
