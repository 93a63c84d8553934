// The reference table reader on arbitrary text: every entry of every object named in
// the text is looked up from the start; each lookup ends in an entry with a box of
// finite angles, the end of the table, or a malformed-table message.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sky/reference_table.hpp"

using namespace newstars;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    // The object names: the first word of each of the first few lines, and one absent.
    std::vector<std::string> objects = {"NO-SUCH-OBJECT"};
    for (size_t at = 0; at < text.size() && objects.size() < 5;) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        objects.push_back(line.substr(0, line.find_first_of(" \t\v\f\r")));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    for (const std::string& object : objects) {
        std::FILE* table = fmemopen(text.data(), text.size() == 0 ? 1 : text.size(), "r");
        if (table == nullptr)
            __builtin_trap();
        for (int found = 0; found < 50; ++found) {
            SearchBox box;
            ReferenceEntry entry;
            std::string message;
            const SkyStatus status = findReferenceEntry(table, object.c_str(), &box, &entry, &message);
            if (status == SkyStatus::Ok) {
                if (!std::isfinite(box.ERA) || !std::isfinite(box.NDec) ||
                    !std::isfinite(box.WRA) || !std::isfinite(box.SDec) ||
                    !std::isfinite(box.cosMidDec))
                    __builtin_trap();
                continue;
            }
            if (status != SkyStatus::EndOfTable &&
                (status != SkyStatus::MalformedTable || message.empty()))
                __builtin_trap();
            break;
        }
        std::fclose(table);
    }
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    char* starts[6] = {};
    splitFields(line.data(), starts);
    return 0;
}
