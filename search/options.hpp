#pragma once
// The options of the command line: they come before the arguments of either form and
// add outputs beside the report (the report itself changes only with --vet).

#include <string>

#include "fits/fits_read_any.hpp"
#include "search/vetting.hpp"

namespace newstars {

struct RunOptions {
    bool help = false;         // --help
    bool version = false;      // --version
    bool endOfOptions = false; // "--" was taken
    bool strict = false;       // --strict: a test image not searched fails the run
    bool linkMoving = false;   // --link-moving: moving objects linked into tracks
    VetOptions vetting;        // --vet, --catalog, --regions, --stamps and the thresholds
    FitsReadOptions reading;   // --no-data V
};

// The value of the option named name standing at argv[1], of argc words in all, written
// "name value" or "name=value". 1 with *value (a null pointer when no word follows "name")
// and the number of words it takes in *used; 0, outputs untouched, when argv[1] is another
// word (one that merely starts with name too).
int optionValue(int argc, char* const* argv, const char* name, const char** value, int* used);

// Takes the option at argv[1] (argv[0] being the program name) when it is one of these:
// --vet, --strict, --link-moving, --catalog FILE, --regions FILE, --stamps DIR, --page DIR,
// --regions-per-image DIR, --history FILE, a threshold, --no-data V
// (a finite number, which becomes a float), --help, --version, or "--" (which sets
// endOfOptions). "--name value" and "--name=value" are the same.
// 0 with *used the number of arguments taken (0 when argv[1] does not start with "--");
// -1 with the reason in *message for any other argument starting with "--", a missing
// value, a value on a flag, a threshold that is not a finite number above 0, or a
// --no-data value that is not a finite number within the float range (*used 0).
// --wcs and -j are not taken here.
int takeRunOption(int argc, char** argv, RunOptions* options, int* used, std::string* message);

// Writes the help text (both forms of the command line and every option with its
// default) to standard output, naming programName.
void printHelp(const char* programName);

// Writes "newstars <version>" to standard output.
void printVersion();

} // namespace newstars
