#include "search/report.hpp"

#include "base/angles.hpp"
#include "base/text.hpp"
#include "sky/sexagesimal.hpp"

namespace newstars {

std::string reportText(const char* text)
{
    return printableText(text);
}

std::string summaryLine(const char* object, const char* referenceName, const char* testName,
                        const char* date, const char* time, int referenceCount, int testCount,
                        int candidateCount)
{
    return formatText("%-12s %-12s %-12s %s %s %3d %3d %3d\n", reportText(object).c_str(),
                      reportText(baseName(referenceName)).c_str(),
                      reportText(baseName(testName)).c_str(), reportText(date).c_str(),
                      reportText(time).c_str(), referenceCount, testCount, candidateCount);
}

std::string candidateLine(const char* object, const char* testName, double ra, double dec)
{
    const std::string raText = fs_sexa(radiansToDegrees(ra) / 15, 2, 36000);
    const std::string decText = fs_sexa(radiansToDegrees(dec), 3, 3600);
    return formatText("%-12s %-12s %s %s", reportText(object).c_str(),
                      reportText(baseName(testName)).c_str(), raText.c_str(), decText.c_str());
}

bool objectChanges(const char* previous, const char* next)
{
    return compareNoCaseN(previous, next, REPORT_OBJECT_COLUMNS) != 0;
}

void writeCandidateLines(const std::vector<std::string>& lines, FILE* out)
{
    std::fputs(CANDIDATES_HEADING, out);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0 && objectChanges(lines[i - 1].c_str(), lines[i].c_str()))
            std::fputc('\n', out);
        std::fputs(lines[i].c_str(), out);
        std::fputc('\n', out);
    }
}

} // namespace newstars
