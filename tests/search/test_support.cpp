#include "test_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static std::string padCard(std::string card)
{
    card.resize(80, ' ');
    return card;
}

std::string logicalCard(const char* keyword, bool value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= %20s", keyword, value ? "T" : "F");
    return padCard(text);
}

std::string intCard(const char* keyword, long value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= %20ld", keyword, value);
    return padCard(text);
}

std::string realCard(const char* keyword, double value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= %20.17G", keyword, value);
    return padCard(text);
}

std::string stringCard(const char* keyword, const char* value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= '%-8.68s'", keyword, value);
    return padCard(text);
}

std::vector<std::string> linearSkyCards(double ra0Degrees, double dec0Degrees, double crpix1,
                                        double crpix2)
{
    return {
        realCard("CRVAL1", ra0Degrees), realCard("CRVAL2", dec0Degrees),
        realCard("CRPIX1", crpix1),     realCard("CRPIX2", crpix2),
        realCard("CDELT1", -1.0 / 3600), realCard("CDELT2", 1.0 / 3600),
        realCard("CROTA2", 0),          stringCard("CTYPE1", "RA--"),
    };
}

void writeTestImage(const std::string& path, const TestImage& image)
{
    std::string header;
    header += logicalCard("SIMPLE", true);
    header += intCard("BITPIX", 16);
    header += intCard("NAXIS", 2);
    header += intCard("NAXIS1", image.width);
    header += intCard("NAXIS2", image.height);
    header += realCard("BZERO", 32768);
    for (const std::string& card : image.cards)
        header += padCard(card);
    header += padCard("END");
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');

    const int background = 1000;
    std::vector<int> values(static_cast<size_t>(image.width) * image.height, background);
    for (const TestStar& star : image.stars) {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                int add = (dx == 0 && dy == 0) ? 10000 : (dx == 0 || dy == 0) ? 4000 : 1500;
                values[static_cast<size_t>(star.y + dy) * image.width + star.x + dx] += add;
            }
        }
    }
    std::string data;
    for (int v : values) {
        int fileValue = v - 32768;
        data += static_cast<char>((fileValue >> 8) & 0xff);
        data += static_cast<char>(fileValue & 0xff);
    }
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    writeTextFile(path, header + data);
}

void writeTextFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

ScratchDirectory::ScratchDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "newstars-search-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string newstarsPath()
{
    return NEWSTARS_BIN_DIR "/newstars";
}

ProgramResult runNewstars(const std::string& directory, const std::vector<std::string>& arguments,
                          unsigned long addressSpaceLimit)
{
    std::string program = newstarsPath();
    std::vector<char*> argv;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        if (chdir(directory.c_str()) != 0)
            _exit(126);
        if (addressSpaceLimit != 0) {
            rlimit limit{addressSpaceLimit, addressSpaceLimit};
            if (setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(125);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    ProgramResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TestImage skyImage(const char* object, double ra0Degrees, double dec0Degrees,
                   const std::vector<TestStar>& stars)
{
    TestImage image;
    image.width = 300;
    image.height = 240;
    image.cards = {stringCard("OBJECT", object), stringCard("DATE-OBS", "2026-12-07"),
                   stringCard("TIME-OBS", "01:02:03")};
    for (const std::string& card : linearSkyCards(ra0Degrees, dec0Degrees, 150, 120))
        image.cards.push_back(card);
    image.stars = stars;
    return image;
}

void writeStandardScene(const ScratchDirectory& directory)
{
    writeTestImage(directory.file("ref.fts"), skyImage("M31", 150, 0, {{150, 120}}));
    writeTestImage(directory.file("ref2.fts"), skyImage("M31", 150, 0, {{150, 120}}));
    writeTestImage(directory.file("test.fts"), skyImage("M31", 150, 0, {{150, 120}, {180, 120}}));
    writeTestImage(directory.file("lower.fts"), skyImage("m31", 150, 0, {{150, 120}, {180, 120}}));
    TestImage noObject = skyImage("M31", 150, 0, {});
    noObject.cards.erase(noObject.cards.begin());
    writeTestImage(directory.file("noobject.fts"), noObject);
    writeTextFile(directory.file("short.fts"), std::string(100, ' '));
}
