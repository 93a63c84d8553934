// expandGzipFile on gzip data made by the gzip program: one member, several, bytes after
// the last, damaged or cut data, and data that would expand beyond the memory given.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "base/file_descriptor.hpp"
#include "base/gzip_file.hpp"
#include "support/files.hpp"
#include "support/program.hpp"

using namespace newstars;

namespace {

// The gzip program's output for the text.
std::string gzipped(const ScratchDirectory& scratch, const std::string& text)
{
    const std::string path = scratch.file("plain");
    writeFile(path, text);
    const ProgramResult r = runProgram({"gzip", "-c", "-n", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

} // namespace

TEST(ExpandGzipFile, ExpandsWhatGzipWroteWithinTheLimit)
{
    ScratchDirectory scratch;
    std::string text;
    for (int i = 0; i < 200000; ++i)
        text += static_cast<char>('a' + (i * 7919) % 26);
    const std::string one = gzipped(scratch, text);
    const std::string head = gzipped(scratch, text.substr(0, 12345));
    const std::string tail = gzipped(scratch, text.substr(12345));
    std::string damaged = one;
    damaged[one.size() / 2] = static_cast<char>(damaged[one.size() / 2] ^ 0x55);
    struct Case {
        const char* what;
        std::string file;
        uint64_t limit;
        std::string expanded; // when message is empty
        std::string message;
    };
    const Case cases[] = {
        {"one member", one, UINT64_MAX, text, ""},
        {"exactly the limit", one, text.size(), text, ""},
        {"two members", head + tail, UINT64_MAX, text, ""},
        {"bytes after the last member", one + "trailing", UINT64_MAX, text, ""},
        {"empty content", gzipped(scratch, ""), UINT64_MAX, "", ""},
        {"cut short", one.substr(0, one.size() / 2), UINT64_MAX, "",
         "damaged gzip data: it ends early"},
        {"damaged", damaged, UINT64_MAX, "", "damaged gzip data: "},
        {"one byte beyond the limit", one, text.size() - 1, "",
         "expands to more than 0 MB, the memory available"},
    };
    for (const Case& c : cases) {
        const std::string path = scratch.file("data.gz");
        writeFile(path, c.file);
        const FileDescriptor in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(in.isOpen());
        EXPECT_TRUE(startsAsGzip(in.get())) << c.what;
        std::string message;
        const FileDescriptor out(expandGzipFile(in.get(), c.limit, &message));
        EXPECT_EQ(lseek(in.get(), 0, SEEK_CUR), 0) << c.what << ": the file offset is untouched";
        if (!c.message.empty()) {
            EXPECT_FALSE(out.isOpen()) << c.what;
            EXPECT_EQ(message.rfind(c.message, 0), 0u) << c.what << ": " << message;
            continue;
        }
        ASSERT_TRUE(out.isOpen()) << c.what << ": " << message;
        std::string got;
        char buffer[65536];
        ssize_t n = 0;
        while ((n = read(out.get(), buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<size_t>(n));
        EXPECT_EQ(got, c.expanded) << c.what;
    }
    writeFile(scratch.file("plain"), "SIMPLE  =");
    const FileDescriptor plain(open(scratch.file("plain").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(startsAsGzip(plain.get()));
}
