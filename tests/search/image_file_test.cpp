// openImageFile on plain and fpack-compressed images, with the real fdecomp and with
// stand-ins for it, in scratch directories with TMPDIR and PATH pointed at them.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "compressed_files.hpp"
#include "fits/fits_read.hpp"
#include "search/image_file.hpp"

using namespace newstars;

class OpenImageFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = scratch.path;
        ASSERT_FALSE(root.empty());
        temporary = root + "/tmp";
        work = root + "/work";
        fakes = root + "/fakebin";
        nothing = root + "/emptybin";
        for (const std::string& directory : {temporary, work, fakes, nothing})
            ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
        saveVariable("PATH", &savedPath);
        saveVariable("TMPDIR", &savedTmpdir);
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        savedDirectory = here;
        setenv("TMPDIR", temporary.c_str(), 1);
        usePath(binaryDirectory() + ":" + savedPath.second);
        original = makeFitsFile(131, 97, makeStarField(131, 97, false),
                                {"OBJECT  = 'NGC 253 '", "TIME-OBS= '01:02:03'"});
        writeFile(root + "/original.fits", original);
    }
    void TearDown() override
    {
        restoreVariable("PATH", savedPath);
        restoreVariable("TMPDIR", savedTmpdir);
        if (chdir(savedDirectory.c_str()) != 0)
            ADD_FAILURE() << "can not return to " << savedDirectory;
    }

    static void saveVariable(const char* name, std::pair<bool, std::string>* saved)
    {
        const char* value = std::getenv(name);
        *saved = {value != nullptr, value != nullptr ? value : ""};
    }
    static void restoreVariable(const char* name, const std::pair<bool, std::string>& saved)
    {
        if (saved.first)
            setenv(name, saved.second.c_str(), 1);
        else
            unsetenv(name);
    }
    static void usePath(const std::string& path)
    {
        setenv("PATH", path.c_str(), 1);
    }

    // Compresses the original image into path with fpack; returns the compressed bytes.
    std::string compress(const char* flag, const std::string& path)
    {
        EXPECT_TRUE(compressWithFpack(flag, root + "/original.fits", path)) << path;
        return readFile(path);
    }

    // A stand-in fdecomp running the given shell commands, first on PATH.
    void fakeFdecomp(const std::string& commands)
    {
        writeFile(fakes + "/fdecomp", "#!/bin/sh\n" + commands + "\n");
        chmod((fakes + "/fdecomp").c_str(), 0755);
        usePath(fakes + ":" + savedPath.second);
    }

    // Opens name; on success reads everything, checks that nothing of ours is left in
    // the temporary directory while the descriptor is still open, and closes it.
    int openAndRead(const std::string& name, std::string* bytes, std::string* message)
    {
        int fd = openImageFile(name.c_str(), message);
        if (fd >= 0) {
            EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{}) << name;
            *bytes = readDescriptor(fd);
            close(fd);
        }
        return fd;
    }

    // The message expected for a command whose text is prefix, a private directory
    // under the test's TMPDIR, and suffix; the directory's random part comes from the
    // message itself.
    std::string commandMessage(const std::string& message, const std::string& prefix,
                               const std::string& suffix)
    {
        std::string directory = temporary + "/newstars.";
        std::string unique = message.size() >= prefix.size() + directory.size() + 6
                                 ? message.substr(prefix.size() + directory.size(), 6)
                                 : "??????";
        if (unique.find('/') != std::string::npos)
            unique = "??????";
        return prefix + directory + unique + suffix;
    }

    ScratchDirectory scratch;
    std::string root, temporary, work, fakes, nothing, savedDirectory;
    std::pair<bool, std::string> savedPath, savedTmpdir;
    std::string original;
};

TEST_F(OpenImageFile, DecompressesCompressedNamesToTheOriginalFile)
{
    ASSERT_EQ(chdir(work.c_str()), 0);
    struct Case {
        const char* flag;
        std::string name;
    };
    const Case cases[] = {
        {"-r", "rice.fth"},      {"-h", "hcompress.fth"}, {"-r", "RICE.FTH"},
        {"-h", "HCOMPRESS.FTH"}, {"-r", ".fth"},          {"-h", work + "/full path.fth"},
    };
    for (const Case& c : cases) {
        const std::string& name = c.name;
        std::string compressed = compress(c.flag, name);
        std::string bytes;
        std::string message = "untouched";
        EXPECT_GE(openAndRead(name, &bytes, &message), 0) << name << ": " << message;
        EXPECT_EQ(bytes, original) << name;
        EXPECT_EQ(message, "untouched") << name;
        EXPECT_EQ(readFile(name), compressed) << name;
        EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{}) << name;
    }
}

// Through the FITS reader: the pixels and cards written into the original file.
TEST_F(OpenImageFile, GivesTheReaderTheOriginalPixelsAndCards)
{
    for (const char* flag : {"-r", "-h"}) {
        std::string name = work + "/image.fth";
        compress(flag, name);
        std::string message;
        int fd = openImageFile(name.c_str(), &message);
        ASSERT_GE(fd, 0) << flag << ": " << message;
        FitsImage image;
        EXPECT_EQ(readFitsImage(fd, &image, &message), 0) << flag << ": " << message;
        close(fd);
        EXPECT_EQ(image.width, 131) << flag;
        EXPECT_EQ(image.height, 97) << flag;
        EXPECT_EQ(image.pixels, makeStarField(131, 97, false)) << flag;
        std::string object;
        EXPECT_EQ(getStringCard(&image, "OBJECT", &object), 0) << flag;
        EXPECT_EQ(object, "NGC 253") << flag;
        freeFitsImage(&image);
        unlink(name.c_str());
    }
}

// Other endings, mixed case included, are plain files: opened as they are, with no
// fdecomp on PATH to be tempted into.
TEST_F(OpenImageFile, OpensOtherNamesDirectly)
{
    std::string compressed = compress("-r", work + "/source.fth");
    usePath(nothing);
    ASSERT_EQ(chdir(work.c_str()), 0);
    for (const char* name :
         {"image.Fth", "image.fTH", "image.FTh", "image.fts", "image.fits", "fth", "a.f", "a.Fz",
          "a.fZ", "a.gZ", "a.fzz", "a.gzip", "fz", "a.fz.fits"}) {
        writeFile(work + "/" + name, compressed);
        std::string bytes;
        std::string message = "untouched";
        EXPECT_GE(openAndRead(name, &bytes, &message), 0) << name << ": " << message;
        EXPECT_EQ(bytes, compressed) << name;
        EXPECT_EQ(message, "untouched") << name;
    }
}

TEST_F(OpenImageFile, ReportsEachFailureAndLeavesNoTemporaryFiles)
{
    std::string image = work + "/image.fth";
    std::string compressed = compress("-r", image);
    std::string directory = work + "/directory.fth";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    std::string copyMissing = "Can not execute `copy " + work + "/missing.fth ";
    const std::string run = "Can not execute `fdecomp -r ";

    enum Decompressor { REAL, ABSENT, FAKE };
    struct Case {
        const char* what;
        std::string name;
        Decompressor decompressor;
        std::string commands; // of the stand-in
        std::string prefix;   // message: prefix + private directory + suffix
        std::string suffix;   // or, with an empty suffix, the prefix alone
    };
    const Case cases[] = {
        {"compressed file missing", work + "/missing.fth", REAL, "", copyMissing, "/image.fth' "},
        {"compressed name is a directory", directory, REAL, "", "not a regular file", ""},
        {"fdecomp not on PATH", image, ABSENT, "", run, "/image.fth' "},
        {"fdecomp failing", image, FAKE, "exit 3", run, "/image.fth' "},
        {"fdecomp killed", image, FAKE, "kill -KILL $$", run, "/image.fth' "},
        {"fdecomp writing nothing", image, FAKE, "exit 0", "Can not decompress " + image, ""},
        {"fdecomp writing only elsewhere", image, FAKE, "touch \"$2.part\"; rm -f \"$2\"",
         "Can not decompress " + image, ""},
        {"plain file missing", work + "/missing.fits", REAL, "", std::strerror(ENOENT), ""},
    };
    for (const Case& c : cases) {
        if (c.decompressor == FAKE)
            fakeFdecomp(c.commands);
        else if (c.decompressor == ABSENT)
            usePath(nothing);
        else
            usePath(binaryDirectory() + ":" + savedPath.second);
        std::string message;
        EXPECT_EQ(openImageFile(c.name.c_str(), &message), -1) << c.what;
        std::string expected =
            c.suffix.empty() ? c.prefix : commandMessage(message, c.prefix, c.suffix);
        EXPECT_EQ(message, expected) << c.what;
        EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{}) << c.what;
        EXPECT_EQ(readFile(image), compressed) << c.what;
        EXPECT_EQ(listDirectory(work), (std::vector<std::string>{"directory.fth", "image.fth"}))
            << c.what;
    }
}

TEST_F(OpenImageFile, ReportsAMissingTemporaryDirectory)
{
    std::string image = work + "/image.fth";
    compress("-r", image);
    setenv("TMPDIR", (root + "/no such directory").c_str(), 1);
    std::string message;
    EXPECT_EQ(openImageFile(image.c_str(), &message), -1);
    EXPECT_EQ(message, "Can not create temp filename for fdecomp");
}

// The stand-in shows what fdecomp is given: two arguments, -r and an exact copy of
// the compressed file; what it leaves in the directory besides its output goes too.
TEST_F(OpenImageFile, HandsFdecompAnExactCopyAndRemovesItsLeftovers)
{
    std::string image = work + "/image.fth";
    std::string compressed = compress("-h", image);
    fakeFdecomp("printf '%s\\n' \"$#\" \"$1\" \"$2\" > " + root +
                "/arguments\n"
                "cp \"$2\" " +
                root +
                "/seen.fth\n"
                "cp \"$2\" \"$2.leftover\"\n"
                "cp " +
                root + "/original.fits \"${2%.fth}.fts\"");
    std::string bytes;
    std::string message;
    EXPECT_GE(openAndRead(image, &bytes, &message), 0) << message;
    EXPECT_EQ(bytes, original);
    EXPECT_EQ(readFile(root + "/seen.fth"), compressed);
    std::string text = readFile(root + "/arguments");
    EXPECT_EQ(text, commandMessage(text, "2\n-r\n", "/image.fth\n"));
    EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{});
}

// The usual names of compressed images go the same way as .fth: an exact copy, named
// image.fth, handed to fdecomp in a private directory.
TEST_F(OpenImageFile, HandsOtherCompressedNamesToFdecomp)
{
    fakeFdecomp("cp \"$2\" " + root + "/seen\ncp " + root + "/original.fits \"${2%.fth}.fts\"");
    ASSERT_EQ(chdir(work.c_str()), 0);
    for (const char* name :
         {"a.fz", "a.fits.fz", "a.fts.fz", "a.gz", "a.fits.gz", "A.FITS.FZ", "A.GZ"}) {
        const std::string content = std::string("compressed ") + name;
        writeFile(work + "/" + name, content);
        std::string bytes;
        std::string message = "untouched";
        EXPECT_GE(openAndRead(name, &bytes, &message), 0) << name << ": " << message;
        EXPECT_EQ(bytes, original) << name;
        EXPECT_EQ(readFile(root + "/seen"), content) << name;
        EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{}) << name;
    }
}

// Names are file names only: blanks, quotes, semicolons, $(...) and backquotes run
// nothing and reach the file they name.
TEST_F(OpenImageFile, TakesNamesWithShellCharactersLiterally)
{
    ASSERT_EQ(chdir(work.c_str()), 0);
    const std::vector<std::string> names = {
        "with blank.fth",        "it's \"quoted\".fth",  "semi;touch injected;.fth",
        "$(touch injected).fth", "`touch injected`.fth", "-r.fth",
    };
    for (const std::string& name : names) {
        compress("-r", work + "/" + name);
        std::string bytes;
        std::string message;
        EXPECT_GE(openAndRead(name, &bytes, &message), 0) << name << ": " << message;
        EXPECT_EQ(bytes, original) << name;
    }
    std::string missing = "gone; touch injected $(touch injected) `touch injected`.fth";
    std::string message;
    EXPECT_EQ(openImageFile(missing.c_str(), &message), -1);
    EXPECT_EQ(message,
              commandMessage(message, "Can not execute `copy " + missing + " ", "/image.fth' "));

    std::vector<std::string> expected = names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listDirectory(work), expected);
    EXPECT_FALSE(fileExists(root + "/injected"));
    EXPECT_FALSE(fileExists(savedDirectory + "/injected"));
    EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{});
}
