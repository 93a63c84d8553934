#pragma once
// How many test images a run can have under way at once in the memory it may use.

#include <cstdint>
#include <string>

#include "search/compare.hpp"

namespace newstars {

// The most memory one test image under way holds, in bytes, for a test image of width x
// height pixels searched by method: its pixels, its reference's and the work of the
// search, per pixel of the test image (peak resident size of -j 1 runs on simulated
// nights of 1024² to 8192² pixels, rounded up):
//   catalog     16-bit 5 bytes, floating-point (or other non-16-bit) 21 bytes
//   difference  16-bit 26 bytes, floating-point 34 bytes
// (an 8192² difference-imaging pair holds some 1.5 GB, a 4096² one 410 MB; smaller images
// more per pixel: 29 bytes at 2048², 45 at 1024²). 0 for an
// empty size. Sizes whose product overflows give UINT64_MAX.
uint64_t imageWorkBytes(SearchMethod method, bool floatPixels, int64_t width, int64_t height);

// The memory the process may still take: the smaller of the system's MemAvailable
// (/proc/meminfo) and, under an address-space limit (RLIMIT_AS), the room left below it
// (the limit less the process's VmSize, /proc/self/status). *addressLimited tells whether
// the limit is the smaller. UINT64_MAX when neither is known.
uint64_t availableMemoryBytes(bool* addressLimited);

// Address space each test image under way takes besides its data, under a limit: its
// thread and the one that searches its reference beside it, each with its stack (8 MB)
// and the allocator's arena reservation (64 MB).
inline constexpr uint64_t THREAD_ADDRESS_BYTES = 144ull << 20;

// The number of test images that fit at once: workers, lowered to what available holds
// at perImage bytes each (plus perThread each under an address limit), never below 1.
int fittingWorkers(int workers, uint64_t perImage, uint64_t available, uint64_t perThread);

// The size and pixel type of the image a name gives, from its header alone: a plain
// FITS file, a file with an HDU in brackets ("FILE[1]"), or a tile-compressed one
// (taken as floating point, its type not being read). False for a gzip-compressed file
// (its header lies behind the whole decompression) and for anything unreadable.
bool peekImageSize(const std::string& name, int32_t* width, int32_t* height, bool* floatPixels);

// "2.3 GB", "640 MB": bytes in decimal units, two significant figures at least.
std::string memoryText(uint64_t bytes);

} // namespace newstars
