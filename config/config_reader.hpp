#pragma once
// Named numeric settings from a text file of name-and-value entries.
//
// File syntax: entries separated by blanks, tabs, carriage returns and line feeds.
// A name runs up to the first blank, tab, carriage return, line feed or "="; any mix
// of those and "=" may stand between name and value, so the value may sit on a later
// line. A plain value runs up to the next blank, tab, carriage return or line feed.
// A quoted value runs from ' to the next ' not escaped by a backslash; a backslash
// takes the next character literally, and a backslash before a line feed joins the
// two lines. "!" where a name could begin starts a comment to the end of the line;
// "/" there is an entry of its own, named "/", without a value. Names are compared
// exactly (letter case included); the first occurrence of a name wins.

#include <cstdio>
#include <optional>
#include <string>

namespace newstars {

// One reader's state, owned by the caller (one reader per thread).
struct ConfigReader {
    // Level of echoing: non-zero makes getConfigReal note every value it returns
    // ("name = value"); above 2 the entry reader also traces every character it reads
    // ("state=%d c='%c'"). Never changed by the library.
    int verbosity = 0;
    // The file every lookup reads; none until setConfigFile names one.
    std::optional<std::string> fileName;
    // Echoes, traces and the entry reader's error messages, each ended by a line end,
    // appended in the order they arise: the text a program shows on standard error.
    std::string diagnostics;
};

// Outcome of every routine of the reader.
enum ConfigStatus : int {
    CONFIG_OK = 0,
    CONFIG_NOT_FOUND = -1,  // the file ends, or an entry cannot be read, before a match
                            // (readConfigEntry: no entry read)
    CONFIG_NO_FILE = -2,    // no file named, or the file cannot be opened
    CONFIG_READ_ERROR = -3, // the file cannot be read to its end before a match
    CONFIG_NO_MEMORY = -4,  // memory for the file name runs out
};

// A short text for a status, without a line end ("name not found", ...); "unknown
// configuration status" for any other value.
const char* configStatusText(ConfigStatus status);

// Names the file that all later lookups through reader read (an empty name is kept
// as given and fails to open). A null name means no file, so that a later lookup
// fails. CONFIG_OK; CONFIG_NO_MEMORY when memory runs out, with "setConfigFile(): Can
// not malloc <bytes>" in *message and the reader unchanged.
ConfigStatus setConfigFile(ConfigReader* reader, const char* fileName, std::string* message);

// Looks the name up in the reader's file and stores its value converted with strtod
// (text without a number gives 0; the "/" entry, which has no value, gives 0).
// CONFIG_OK; otherwise *value is untouched and *message holds the reason:
//   CONFIG_NOT_FOUND  "Can not find `NAME' in config file." (meant for standard output)
//   CONFIG_NO_FILE    "Can not look up `NAME': no config file has been named.", or
//                     "FILE: <system text for the error>" ("<system text>" alone for an
//                     empty file name) when the file cannot be opened, or
//                     "FILE: not a regular file" (a FIFO, a device), opened without
//                     waiting on it
//   CONFIG_READ_ERROR "FILE: <system text for the error>" when reading fails before a
//                     match
ConfigStatus getConfigReal(ConfigReader* reader, const char* name, double* value,
                           std::string* message);

// Reads the reader's file from its start and stores in *value the value of the first
// entry named name, at most valueSize - 1 characters (valueSize >= 1); the "/" entry
// gives an empty value. CONFIG_OK when found; CONFIG_NOT_FOUND when the file ends, or an
// entry cannot be read, before a match; CONFIG_NO_FILE or CONFIG_READ_ERROR with
// *message set as for getConfigReal. *value is untouched unless found.
ConfigStatus findConfigValue(ConfigReader* reader, const char* name, std::string* value,
                             int valueSize, std::string* message);

// Reads the next entry from file, an open text stream. CONFIG_OK with *name set (at
// most nameSize - 1 characters) and *value set (at most valueSize - 1 characters), except
// for the "/" entry, which sets *name to "/" and leaves *value untouched.
// CONFIG_NOT_FOUND at end of file (an entry not yet ended by its terminator is dropped), on a read error (told
// from the end by ferror(file)), or on an error of the text after its message is
// appended to reader->diagnostics: a name or value past its limit, or the end of file
// right after a backslash in a quoted value. fileName is used only in messages.
ConfigStatus readConfigEntry(ConfigReader* reader, std::FILE* file, const char* fileName,
                             std::string* name, int nameSize, std::string* value, int valueSize);

} // namespace newstars
