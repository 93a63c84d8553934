// Joining night pieces on arbitrary text: the input is split at each byte 0x01 into
// pieces (at most 4), merged as reports (as they are, and as pieces of a night after
// their piece lines), as catalogues and as region files. A merge either refuses with a
// message or succeeds, and a single piece merges into itself (a night's single piece into
// itself without its piece line).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "search/merge.hpp"

using namespace newstars;

namespace {

enum class Kind { Report, Night, Catalog, Regions };

// Merges the pieces as the kind says into *out; the merge's status.
int merge(const std::vector<std::string>& texts, Kind kind, std::string* out)
{
    std::vector<ReportPiece> pieces;
    for (size_t i = 0; i < texts.size(); ++i) {
        // fmemopen refuses an empty buffer; an empty piece is the empty device.
        std::FILE* file = texts[i].empty()
                              ? std::fopen("/dev/null", "r")
                              : fmemopen(const_cast<char*>(texts[i].data()), texts[i].size(), "r");
        if (file == nullptr)
            __builtin_trap();
        pieces.push_back({"piece" + std::to_string(i + 1), file});
    }
    char* buffer = nullptr;
    size_t length = 0;
    std::FILE* sink = open_memstream(&buffer, &length);
    if (sink == nullptr)
        __builtin_trap();
    std::string message;
    int status = 0;
    if (kind == Kind::Night)
        status = orderNightPieces(&pieces, &message);
    if (status == 0 && (kind == Kind::Report || kind == Kind::Night))
        status = mergeReports(pieces, sink, &message);
    else if (status == 0)
        status = mergeTables(pieces, kind == Kind::Catalog ? TableKind::Catalog : TableKind::Regions,
                             sink, &message);
    std::fclose(sink);
    out->assign(buffer, length);
    std::free(buffer);
    for (ReportPiece& piece : pieces)
        std::fclose(piece.file);
    if (status != 0 && (status != -1 || message.empty()))
        __builtin_trap();
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x01 && texts.size() < 4)
            texts.emplace_back();
        else
            texts.back() += static_cast<char>(data[i]);
    }
    for (Kind kind : {Kind::Report, Kind::Night, Kind::Catalog, Kind::Regions}) {
        std::string merged;
        merge(texts, kind, &merged);
        std::string alone;
        const std::string itself =
            kind == Kind::Night ? texts[0].substr(texts[0].find('\n') + 1) : texts[0];
        if (merge({texts[0]}, kind, &alone) == 0 && alone != itself)
            __builtin_trap();
    }
    return 0;
}
