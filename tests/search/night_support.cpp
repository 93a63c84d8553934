#include "night_support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

ProgramResult runNightProgram(const std::string& directory,
                              const std::vector<std::string>& arguments, const char* path)
{
    const char* oldPath = std::getenv("PATH");
    const std::string searchPath = path != nullptr
                                       ? path
                                       : std::string(NEWSTARS_BIN_DIR) + ":" +
                                             (oldPath != nullptr ? oldPath : "/usr/bin:/bin");
    return runProgram(arguments, {.directory = directory, .environment = {{"PATH", searchPath}}});
}

bool readSexagesimal(const std::string& text, double* value)
{
    double a = 0, b = 0, c = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (std::sscanf(text.c_str() + (negative ? 1 : 0), "%lf:%lf:%lf", &a, &b, &c) != 3)
        return false;
    *value = (a + b / 60 + c / 3600) * (negative ? -1 : 1);
    return true;
}

std::map<std::string, NightBoxRecord> readNightTable(const std::string& path)
{
    std::map<std::string, NightBoxRecord> boxes;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string object, era, ndec, wra, sdec, reference;
        fields >> object >> era >> ndec >> wra >> sdec >> reference;
        NightBoxRecord box;
        EXPECT_TRUE(
            readSexagesimal(era, &box.eastHours) && readSexagesimal(ndec, &box.northDegrees) &&
            readSexagesimal(wra, &box.westHours) && readSexagesimal(sdec, &box.southDegrees))
            << line;
        boxes[object] = box;
    }
    return boxes;
}

std::vector<NightTruth> readNightTruth(const std::string& path)
{
    std::vector<NightTruth> sources;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        NightTruth s;
        int inBox = 0;
        fields >> s.object >> s.image >> s.raHours >> s.decDegrees >> s.peak >> s.sky >> s.sigma >>
            s.x >> s.y >> inBox;
        EXPECT_FALSE(fields.fail()) << line;
        sources.push_back(s);
    }
    return sources;
}
