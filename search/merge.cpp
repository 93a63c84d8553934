#include "search/merge.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>

#include "base/file_descriptor.hpp"
#include "search/night_piece.hpp"
#include "search/report.hpp"
#include "vet/catalog.hpp"

namespace newstars {

namespace {

// Reads a file line by line into one buffer of at most MAX_MERGE_LINE bytes.
class LineReader {
public:
    // Reads the next line: 1 with the line (without its line end) at text() and ended()
    // telling whether a line end followed it; 0 at the end of the file; -1 on a read
    // error; -2 when the line is longer than MAX_MERGE_LINE bytes (the file is then left
    // within that line).
    int next(FILE* file)
    {
        buffer_.clear();
        ended_ = false;
        for (;;) {
            const int c = getc_unlocked(file);
            if (c == EOF) {
                if (std::ferror(file))
                    return -1;
                break;
            }
            if (c == '\n') {
                ended_ = true;
                break;
            }
            if (buffer_.size() == MAX_MERGE_LINE)
                return -2;
            buffer_.push_back(static_cast<char>(c));
        }
        if (buffer_.empty() && !ended_)
            return 0;
        return 1;
    }
    const char* text() const
    {
        return buffer_.c_str();
    }
    size_t length() const
    {
        return buffer_.size();
    }
    bool ended() const
    {
        return ended_;
    }

private:
    std::string buffer_;
    bool ended_ = false;
};

// The reason for what LineReader::next returned below 0.
std::string lineFailure(int got, long lineNumber)
{
    if (got == -2)
        return (lineNumber > 0 ? "line " + std::to_string(lineNumber) : std::string("a line")) +
               " is longer than " + std::to_string(MAX_MERGE_LINE) +
               " bytes: not a newstars output";
    return "read error";
}

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
int checkReport(FILE* file, off_t begin, ReportLayout* layout, std::string* message)
{
    if (fseeko(file, begin, SEEK_SET) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    LineReader line;
    bool formFeedSeen = false;
    bool previous = false;   // a candidate line has been read
    bool emptyAfter = false; // an empty line follows the previous candidate line
    std::string previousLine;
    long lineNumber = begin > 0 ? 1 : 0; // a piece line before the report
    int got = 0;
    off_t start = begin;
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
                  : !previous || emptyAfter == objectChanges(previousLine.c_str(), line.text());
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
        *message = lineFailure(got, lineNumber + 1);
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

// Copies the bytes [begin, end) of a file to out, or to the file's end when end is -1.
// 0, or -1 with the reason in *message.
int copyBytes(FILE* file, off_t begin, off_t end, FILE* out, std::string* message)
{
    if (fseeko(file, begin, SEEK_SET) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    char buffer[1 << 16];
    if (end < 0) {
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            if (std::fwrite(buffer, 1, got, out) != got) {
                *message = "write error";
                return -1;
            }
        }
        if (std::ferror(file)) {
            *message = "read error";
            return -1;
        }
        return 0;
    }
    for (off_t left = end - begin; left > 0;) {
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

// Whether a line belongs to the part of a table's header before its last line: comment
// lines in both kinds, and the settings lines of a region file.
bool isPreambleLine(TableKind kind, const LineReader& line)
{
    if (line.length() > 0 && line.text()[0] == '#')
        return true;
    return kind == TableKind::Regions && std::strncmp(line.text(), "global", 6) == 0 &&
           (line.text()[6] == ' ' || line.text()[6] == '\0');
}

// Checks that every line of a table ends and reads its header (see mergeTables) into
// *header. 0, or -1 with the reason in *message.
int readTableHeader(FILE* file, TableKind kind, std::string* header, std::string* message)
{
    if (fseeko(file, 0, SEEK_SET) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    LineReader line;
    bool inHeader = true;
    int got = 0;
    long lineNumber = 0;
    header->clear();
    while ((got = line.next(file)) == 1) {
        ++lineNumber;
        if (!line.ended()) {
            *message = "last line has no line end: the file is cut short";
            return -1;
        }
        if (inHeader) {
            header->append(line.text(), line.length());
            header->push_back('\n');
            inHeader = isPreambleLine(kind, line);
        }
    }
    if (got < 0) {
        *message = lineFailure(got, lineNumber + 1);
        return -1;
    }
    if (inHeader) {
        *message = kind == TableKind::Catalog
                       ? "no column-name line: not a whole catalogue"
                       : "no coordinate system line: not a whole region file";
        return -1;
    }
    return 0;
}

// Splits a table's header into the lines every piece of a night shares and the entries of
// its list of images (the lines starting with IMAGE_ENTRY_START that follow the
// IMAGE_LIST_LINE line), each kept whole with its line end. *at gets the length of the
// shared lines up to and including the IMAGE_LIST_LINE line (the whole when there is
// none).
void splitHeader(const std::string& header, std::string* shared, std::string* entries, size_t* at)
{
    shared->clear();
    entries->clear();
    *at = std::string::npos;
    bool inList = false;
    for (size_t start = 0; start < header.size();) {
        size_t end = header.find('\n', start);
        end = end == std::string::npos ? header.size() : end + 1;
        const std::string_view line(header.data() + start, end - start);
        if (inList && line.rfind(IMAGE_ENTRY_START, 0) == 0) {
            entries->append(line);
        } else {
            inList = *at == std::string::npos && line.substr(0, line.size() - 1) == IMAGE_LIST_LINE;
            shared->append(line);
            if (inList)
                *at = shared->size();
        }
        start = end;
    }
    if (*at == std::string::npos)
        *at = shared->size();
}

// The "meta" of a catalogue of the catalogue method: only the list of images, which it
// writes when an image had world-coordinate cards set aside, and leaves out otherwise.
const std::string LIST_ONLY_META = std::string("# meta:\n") + IMAGE_LIST_LINE + "\n";

// Removes a meta that is only the list of images from a catalogue header's shared lines
// (as splitHeader gives them, *at just after the list line), so that pieces with and
// without entries compare equal; *at then points where the meta was. True when removed.
bool dropListOnlyMeta(std::string* shared, size_t* at)
{
    const size_t length = LIST_ONLY_META.size();
    if (*at >= length && *at <= shared->size() &&
        shared->compare(*at - length, length, LIST_ONLY_META) == 0) {
        shared->erase(*at - length, length);
        *at -= length;
        return true;
    }
    return false;
}

} // namespace

int mergeTables(const std::vector<ReportPiece>& pieces, TableKind kind, FILE* out,
                std::string* message)
{
    // A catalogue's header may list the piece's images: those entries are joined in piece
    // order, the rest of the header must be the same everywhere.
    std::string first, header, shared, entries, allEntries;
    std::vector<off_t> headerSizes(pieces.size());
    size_t at = 0, pieceAt = 0;
    bool listOnly = false; // some piece's meta is only its list of images
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (readTableHeader(pieces[i].file, kind, &header, message) != 0) {
            *message = pieces[i].name + ": " + *message;
            return -1;
        }
        headerSizes[i] = static_cast<off_t>(header.size());
        if (kind == TableKind::Catalog) {
            splitHeader(header, &shared, &entries, i == 0 ? &at : &pieceAt);
            listOnly = dropListOnlyMeta(&shared, i == 0 ? &at : &pieceAt) || listOnly;
        } else {
            shared = header;
        }
        if (i == 0)
            first = shared;
        if (i > 0 && shared != first) {
            *message = pieces[i].name + ": header differs from " + pieces[0].name + "'s";
            return -1;
        }
        allEntries += entries;
    }
    if (!pieces.empty()) {
        if (kind == TableKind::Catalog &&
            first.find(std::string("\n") + IMAGE_LIST_LINE + "\n") == std::string::npos) {
            // The catalogue method's list, present when some piece has entries, goes
            // where its meta goes: before the schema line.
            const size_t schema = first.find("# schema:");
            if (listOnly || !allEntries.empty())
                first.insert(schema == std::string::npos ? at : schema,
                             LIST_ONLY_META + allEntries);
        } else {
            first.insert(kind == TableKind::Catalog ? at : first.size(), allEntries);
        }
        std::fwrite(first.data(), 1, first.size(), out);
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (copyBytes(pieces[i].file, headerSizes[i], -1, out, message) != 0) {
            *message = pieces[i].name + ": " + *message;
            return -1;
        }
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        *message = "write error";
        return -1;
    }
    return 0;
}

int mergeReports(const std::vector<ReportPiece>& pieces, FILE* out, std::string* message)
{
    std::vector<ReportLayout> layouts(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (checkReport(pieces[i].file, pieces[i].start, &layouts[i], message) != 0) {
            *message = pieces[i].name + ": " + *message;
            return -1;
        }
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (copyBytes(pieces[i].file, pieces[i].start, layouts[i].formFeedLine, out, message) !=
            0) {
            *message = pieces[i].name + ": " + *message;
            return -1;
        }
    }
    std::fputs(CANDIDATES_HEADING, out);

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
            if (previous && objectChanges(previousLine.c_str(), line.text()))
                std::fputc('\n', out);
            std::fwrite(line.text(), 1, line.length(), out);
            std::fputc('\n', out);
            previousLine.assign(line.text(), line.length());
            previous = true;
        }
        if (got < 0) {
            *message = pieces[i].name + ": " + lineFailure(got, 0);
            return -1;
        }
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        *message = "write error";
        return -1;
    }
    return 0;
}

int orderNightPieces(std::vector<ReportPiece>* pieces, std::string* message)
{
    struct Found {
        size_t index = 0; // in *pieces
        NightPiece piece;
        uint64_t fingerprint = 0;
        off_t start = 0;
    };
    std::vector<Found> found;
    LineReader line;
    for (size_t i = 0; i < pieces->size(); ++i) {
        const ReportPiece& given = (*pieces)[i];
        Found f;
        f.index = i;
        if (fseeko(given.file, 0, SEEK_SET) != 0) {
            *message = given.name + ": " + std::strerror(errno);
            return -1;
        }
        const int got = line.next(given.file);
        if (got < 0) {
            *message = given.name + ": " + lineFailure(got, 1);
            return -1;
        }
        if (got == 0 || !line.ended() ||
            parsePieceLine(std::string_view(line.text(), line.length()), &f.piece,
                           &f.fingerprint) != 0) {
            *message = given.name + ": no piece line: not the report of a run with --part";
            return -1;
        }
        f.start = static_cast<off_t>(line.length() + 1);
        if (!found.empty() && f.fingerprint != found[0].fingerprint) {
            *message = given.name + ": a piece of another night than " + (*pieces)[0].name;
            return -1;
        }
        if (!found.empty() && f.piece.count != found[0].piece.count) {
            *message = given.name + ": one of " + std::to_string(f.piece.count) + " pieces, " +
                       (*pieces)[0].name + " one of " + std::to_string(found[0].piece.count);
            return -1;
        }
        found.push_back(f);
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.piece.number < b.piece.number;
    });
    for (size_t j = 1; j < found.size(); ++j) {
        if (found[j].piece.number == found[j - 1].piece.number) {
            const NightPiece& p = found[j].piece;
            *message = (*pieces)[found[j].index].name + ": piece " + std::to_string(p.number) +
                       "/" + std::to_string(p.count) + " given twice (also " +
                       (*pieces)[found[j - 1].index].name + ")";
            return -1;
        }
    }
    if (!found.empty() && found.size() != static_cast<size_t>(found[0].piece.count)) {
        const int count = found[0].piece.count;
        std::string missing;
        int listed = 0;
        size_t j = 0;
        for (int k = 1; k <= count && listed < 5; ++k) {
            if (j < found.size() && found[j].piece.number == k) {
                ++j;
                continue;
            }
            missing += (listed++ > 0 ? ", " : "") + std::to_string(k) + "/" + std::to_string(count);
        }
        const size_t absent = static_cast<size_t>(count) - found.size();
        *message = "pieces missing: " + missing + (absent > 5 ? ", ..." : "");
        return -1;
    }
    std::vector<ReportPiece> ordered;
    ordered.reserve(found.size());
    for (const Found& f : found) {
        ordered.push_back((*pieces)[f.index]);
        ordered.back().start = f.start;
    }
    *pieces = std::move(ordered);
    return 0;
}

int runMerge(int argc, char** argv)
{
    int first = 1;
    bool table = false;
    TableKind kind = TableKind::Catalog;
    if (argc >= 2 && std::strcmp(argv[1], "--link-moving") == 0) {
        std::fprintf(stderr, "newstars merge: --link-moving links a night's tracks in one run "
                             "over every test image, not across pieces: run it without --part\n");
        return 1;
    }
    if (argc >= 2 &&
        (std::strcmp(argv[1], "--catalog") == 0 || std::strcmp(argv[1], "--regions") == 0)) {
        table = true;
        kind = argv[1][2] == 'c' ? TableKind::Catalog : TableKind::Regions;
        first = 2;
    }
    if (argc <= first) {
        std::fprintf(stderr, "usage: newstars merge [--catalog | --regions] file1 [file2 ...]\n");
        return 1;
    }
    std::vector<ReportPiece> pieces;
    int status = 0;
    for (int i = first; i < argc && status == 0; ++i) {
        // A FIFO, device or directory is refused before anything waits on it.
        std::string reason;
        const int fd = openRegularFile(argv[i], &reason);
        FILE* file = fd >= 0 ? fdopen(fd, "r") : nullptr;
        if (fd >= 0 && file == nullptr) {
            reason = std::strerror(errno);
            close(fd);
        }
        if (file == nullptr) {
            std::fprintf(stderr, "%s: %s\n", reportText(argv[i]).c_str(), reason.c_str());
            status = 1;
        } else {
            pieces.push_back({reportText(argv[i]), file});
        }
    }
    std::string message;
    int merged = 0;
    if (status == 0 && table)
        merged = mergeTables(pieces, kind, stdout, &message);
    else if (status == 0)
        merged = orderNightPieces(&pieces, &message) != 0 ? -1
                                                         : mergeReports(pieces, stdout, &message);
    if (merged != 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        status = 1;
    }
    for (const ReportPiece& piece : pieces)
        std::fclose(piece.file);
    return status;
}

} // namespace newstars
