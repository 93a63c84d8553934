// Allocation failures, provoked in a child process by a limit on its address space.
// The sanitizers reserve address space and end the process on a failed allocation,
// so these tests run only in plain builds.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "fits/fits_read.hpp"
#include "support/fits_file.hpp"

using namespace newstars;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// Lets the process grow by no more than the given number of bytes.
void limitGrowth(size_t bytes)
{
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1)
        std::_Exit(3);
    std::fclose(statm);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + bytes;
    if (setrlimit(RLIMIT_AS, &limit) != 0)
        std::_Exit(4);
}

// Reads a header claiming 30000 x 30000 pixels (1 800 000 000 bytes) with little
// memory to spare; exits 0 when the read fails as it should.
void readHugeImage()
{
    std::string bytes =
        fitsHeader({logicalCard("SIMPLE", true), intCard("BITPIX", 16), intCard("NAXIS", 2),
                    intCard("NAXIS1", 30000), intCard("NAXIS2", 30000)});
    int fd = memfd_create("fits", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::_Exit(2);
    lseek(fd, 0, SEEK_SET);
    limitGrowth(size_t{256} << 20);
    FitsImage image;
    std::string message;
    int status = readFitsImage(fd, &image, &message);
    std::fprintf(stderr, "%s\n", message.c_str());
    bool empty =
        image.cardCount == 0 && image.cards.empty() && image.pixels.empty() && image.width == 0;
    std::_Exit(status == -1 && empty ? 0 : 1);
}

// A header of 1 000 000 cards (80 MB) that can grow by only 32 MB more: adding,
// setting and deleting cards fail and leave it as it was. (Blocks above 64 MB
// cannot come from memory a thread's heap has already reserved.)
void exhaustCards()
{
    const int32_t count = 1000000;
    FitsImage image;
    image.cards.assign(static_cast<size_t>(count) * 80, ' ');
    image.cards.shrink_to_fit();
    image.cardCount = count;
    std::string first = fitsCard("FIRST   =                    1");
    std::copy(first.begin(), first.end(), image.cards.begin());
    limitGrowth(size_t{32} << 20);
    const std::string extra = fitsCard("EXTRA   =                    2");
    const int added = addCard(&image, extra.c_str());
    const int set = setIntCard(&image, "NEWKEY", 5);
    const int deleted = deleteCard(&image, "FIRST");
    bool unchanged = image.cardCount == count &&
                     image.cards.size() == static_cast<size_t>(count) * 80 &&
                     std::string(image.cards.data(), 80) == first;
    std::_Exit(added == -1 && set == -1 && deleted == -1 && unchanged ? 0 : 1);
}

} // namespace

TEST(OutOfMemory, PixelBufferRefusedWithItsSize)
{
    if (SANITIZED)
        GTEST_SKIP() << "allocation failures end a sanitized process";
    EXPECT_EXIT(readHugeImage(), testing::ExitedWithCode(0),
                "^Could not malloc 1800000000 for pixels\n$");
}

TEST(OutOfMemory, HeaderUnchangedWhenCardsCannotGrowOrShrink)
{
    if (SANITIZED)
        GTEST_SKIP() << "allocation failures end a sanitized process";
    EXPECT_EXIT(exhaustCards(), testing::ExitedWithCode(0), "^$");
}
