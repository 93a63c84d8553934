#pragma once
// Helpers for the tests on simulated nights: running simnight and newstars with the
// build's programs on PATH, and reading the table and truth files that simnight writes.

#include <map>
#include <string>
#include <vector>

#include "support/files.hpp"
#include "support/program.hpp"

// The built programs.
inline const std::string SIMNIGHT_PATH = NEWSTARS_BIN_DIR "/simnight";
inline const std::string NEWSTARS_PATH = NEWSTARS_BIN_DIR "/newstars";

// Runs the program at arguments[0] in directory without a shell, with the build's bin
// directory first on PATH (newstars finds fdecomp there) or with PATH set to path when
// that is given, and collects its output.
ProgramResult runNightProgram(const std::string& directory,
                              const std::vector<std::string>& arguments,
                              const char* path = nullptr);

// [-]a:b:c as a + b/60 + c/3600, the sign applying to the whole. false unless all
// three numbers are there.
bool readSexagesimal(const std::string& text, double* value);

// One line of a reference table: the box edges in hours and degrees.
struct NightBoxRecord {
    double eastHours = 0, northDegrees = 0, westHours = 0, southDegrees = 0;
};

// The boxes of table.txt by object name.
std::map<std::string, NightBoxRecord> readNightTable(const std::string& path);

// One line of truth.txt.
struct NightTruth {
    std::string object, image;
    double raHours = 0, decDegrees = 0, peak = 0, sky = 0, sigma = 0, x = 0, y = 0;
};

std::vector<NightTruth> readNightTruth(const std::string& path);
