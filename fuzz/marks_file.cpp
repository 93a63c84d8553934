// The readers of known-object lists and page labels on arbitrary lines: a table line splits
// without reading out of bounds, a line that splits on blanks gives no empty field, and a
// sky coordinate that reads lies in its range.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "history/marks_file.hpp"

using namespace newstars;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool hours = input.ConsumeBool();
    const char delimiter = input.ConsumeBool() ? ',' : ' ';
    const std::string text = input.ConsumeRemainingBytesAsString();

    std::vector<std::string> fields;
    if (splitTableLine(text, delimiter, &fields)) {
        size_t characters = 0;
        for (const std::string& f : fields) {
            characters += f.size();
            if (delimiter == ' ' && f.empty() && text.find('"') == std::string::npos)
                __builtin_trap();
        }
        if (characters > text.size())
            __builtin_trap();
    }
    double degrees = 0;
    if (parseSkyCoordinate(text, hours, &degrees)) {
        if (hours ? !(degrees >= 0 && degrees < 360) : !(degrees >= -90 && degrees <= 90))
            __builtin_trap();
    }
    return 0;
}
