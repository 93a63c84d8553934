#pragma once
// Files compressed as a whole by gzip, expanded in memory.

#include <cstdint>
#include <string>

namespace newstars {

// Whether the file at fd starts with gzip's two magic bytes (1f 8b). Read with pread:
// the file offset is untouched.
bool startsAsGzip(int fd);

// Expands the gzip data read from the start of the file at fd (pread: its offset is
// untouched) into a new anonymous file in memory, with no name in any directory. Several
// gzip members back to back are expanded one after the other, as gzip does; bytes after
// the last member that do not start another are ignored.
//   limit  the most bytes the expanded data may take (the memory it may use)
// Returns the new file's descriptor (close-on-exec, at its start; the caller reads and
// closes it), or -1 with the reason in *message (untouched on success):
//   "damaged gzip data: TEXT"                    zlib's reason, or "it ends early"
//   "expands to more than N MB, the memory available"
//   the system's text for an error reading the file or making the memory file
int expandGzipFile(int fd, uint64_t limit, std::string* message);

} // namespace newstars
