#include "search/merge.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "sky/sexagesimal.hpp"

namespace newstars {

namespace {

// Characters of a candidate line that name its object, for the grouping.
constexpr int OBJECT_COLUMNS = 12;

// Reads a file line by line into one growing buffer.
class LineReader {
public:
    LineReader() = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader()
    {
        std::free(buffer_);
    }
    // Reads the next line: 1 with the line (without its line end) at text() and ended()
    // telling whether a line end followed it; 0 at the end of the file; -1 on a read error.
    int next(FILE* file)
    {
        errno = 0;
        const ssize_t n = getline(&buffer_, &capacity_, file);
        if (n < 0)
            return std::ferror(file) || errno == ENOMEM ? -1 : 0;
        length_ = static_cast<size_t>(n);
        ended_ = length_ > 0 && buffer_[length_ - 1] == '\n';
        if (ended_)
            buffer_[--length_] = '\0';
        return 1;
    }
    const char* text() const
    {
        return buffer_;
    }
    size_t length() const
    {
        return length_;
    }
    bool ended() const
    {
        return ended_;
    }

private:
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    size_t length_ = 0;
    bool ended_ = false;
};

// Where a checked report's parts lie in its file, bytes from the start.
struct ReportLayout {
    off_t formFeedLine = 0; // start of the form-feed line: the summary lines end here
    off_t candidates = 0;   // start of the first line after it
};

bool isFormFeedLine(const LineReader& line)
{
    return line.length() == 1 && line.text()[0] == '\f';
}

// Checks that a piece is a whole report (see mergeReports) and finds its layout.
// 0, or -1 with the reason in *message.
int checkReport(FILE* file, ReportLayout* layout, std::string* message)
{
    if (fseeko(file, 0, SEEK_SET) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    LineReader line;
    bool formFeedSeen = false;
    bool previous = false;   // a candidate line has been read
    bool emptyAfter = false; // an empty line follows the previous candidate line
    std::string previousLine;
    long lineNumber = 0;
    int got = 0;
    off_t start = 0;
    while ((got = line.next(file)) == 1) {
        ++lineNumber;
        if (!line.ended()) {
            *message = "last line has no line end: the report is cut short";
            return -1;
        }
        if (!formFeedSeen) {
            if (isFormFeedLine(line)) {
                formFeedSeen = true;
                layout->formFeedLine = start;
                layout->candidates = start + 2;
            }
            start += static_cast<off_t>(line.length() + 1);
            continue;
        }
        const bool empty = line.length() == 0;
        bool inPlace =
            empty ? previous && !emptyAfter
                  : !previous || emptyAfter == (compareNoCaseN(line.text(), previousLine.c_str(),
                                                               OBJECT_COLUMNS) != 0);
        if (!inPlace) {
            *message = "line " + std::to_string(lineNumber) +
                       ": candidate lines are not grouped by object as newstars writes them";
            return -1;
        }
        if (empty) {
            emptyAfter = true;
        } else {
            previousLine.assign(line.text(), line.length());
            previous = true;
            emptyAfter = false;
        }
    }
    if (got < 0) {
        *message = "read error";
        return -1;
    }
    if (!formFeedSeen) {
        *message = "no form-feed line: not a whole newstars report";
        return -1;
    }
    if (emptyAfter) {
        *message = "ends in an empty line: not a whole newstars report";
        return -1;
    }
    return 0;
}

// Copies the bytes [0, end) of a file to out. 0, or -1 with the reason in *message.
int copySummaries(FILE* file, off_t end, FILE* out, std::string* message)
{
    if (fseeko(file, 0, SEEK_SET) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    char buffer[1 << 16];
    for (off_t left = end; left > 0;) {
        const size_t want =
            left < static_cast<off_t>(sizeof buffer) ? static_cast<size_t>(left) : sizeof buffer;
        const size_t got = std::fread(buffer, 1, want, file);
        if (got != want) {
            *message = "read error";
            return -1;
        }
        if (std::fwrite(buffer, 1, got, out) != got) {
            *message = "write error";
            return -1;
        }
        left -= static_cast<off_t>(got);
    }
    return 0;
}

} // namespace

int mergeReports(const std::vector<ReportPiece>& pieces, FILE* out, std::string* message)
{
    std::vector<ReportLayout> layouts(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (checkReport(pieces[i].file, &layouts[i], message) != 0) {
            *message = pieces[i].name + ": " + *message;
            return -1;
        }
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (copySummaries(pieces[i].file, layouts[i].formFeedLine, out, message) != 0) {
            *message = pieces[i].name + ": " + *message;
            return -1;
        }
    }
    std::fputs("\f\n", out);

    LineReader line;
    std::string previousLine;
    bool previous = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
        FILE* file = pieces[i].file;
        if (fseeko(file, layouts[i].candidates, SEEK_SET) != 0) {
            *message = pieces[i].name + ": " + std::strerror(errno);
            return -1;
        }
        int got = 0;
        while ((got = line.next(file)) == 1) {
            if (line.length() == 0)
                continue;
            if (previous && compareNoCaseN(line.text(), previousLine.c_str(), OBJECT_COLUMNS) != 0)
                std::fputc('\n', out);
            std::fwrite(line.text(), 1, line.length(), out);
            std::fputc('\n', out);
            previousLine.assign(line.text(), line.length());
            previous = true;
        }
        if (got < 0) {
            *message = pieces[i].name + ": read error";
            return -1;
        }
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        *message = "write error";
        return -1;
    }
    return 0;
}

int runMerge(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: newstars merge report1 [report2 ...]\n");
        return 1;
    }
    std::vector<ReportPiece> pieces;
    int status = 0;
    for (int i = 1; i < argc && status == 0; ++i) {
        const int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
        struct stat info;
        if (fd < 0) {
            std::fprintf(stderr, "%s: %s\n", argv[i], std::strerror(errno));
            status = 1;
        } else if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            std::fprintf(stderr, "%s: not a regular file\n", argv[i]);
            close(fd);
            status = 1;
        } else if (FILE* file = fdopen(fd, "r"); file == nullptr) {
            std::fprintf(stderr, "%s: %s\n", argv[i], std::strerror(errno));
            close(fd);
            status = 1;
        } else {
            pieces.push_back({argv[i], file});
        }
    }
    std::string message;
    if (status == 0 && mergeReports(pieces, stdout, &message) != 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        status = 1;
    }
    for (const ReportPiece& piece : pieces)
        std::fclose(piece.file);
    return status;
}

} // namespace newstars
