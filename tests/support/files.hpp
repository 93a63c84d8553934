#pragma once
// Test helpers for files: whole files read and written, and scratch files and
// directories that are removed, with everything in them, when the holder goes away.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

// The whole content of the file at path; empty when it cannot be read.
inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Makes text the whole content of the file at path, creating or truncating it.
// Throws std::runtime_error when the file cannot be written.
inline void writeFile(const std::string& path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// A fresh directory under /tmp, private to the test (mode 0700). Throws
// std::runtime_error when none can be made.
struct ScratchDirectory {
    std::string path;
    ScratchDirectory()
    {
        std::string pattern = "/tmp/newstars-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a scratch directory");
        path = pattern;
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    // The path of the entry name in the directory.
    std::string file(const std::string& name) const
    {
        return path + "/" + name;
    }
};

// A fresh file under /tmp holding text, open for reading and writing at fd (positioned
// after the text). Throws std::runtime_error when it cannot be made or written.
struct ScratchFile {
    std::string path;
    int fd = -1;
    explicit ScratchFile(std::string_view text = "")
    {
        std::string pattern = "/tmp/newstars-test-XXXXXX";
        fd = mkstemp(pattern.data());
        if (fd < 0)
            throw std::runtime_error("cannot make a scratch file");
        path = pattern;
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            close(fd);
            unlink(path.c_str());
            throw std::runtime_error("cannot write " + path);
        }
    }
    ~ScratchFile()
    {
        close(fd);
        unlink(path.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
};
