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
#include <string>

namespace newstars {

// Level of echoing: non-zero makes getConfigReal print every value it returns on
// standard error ("name = value"); above 2 the entry reader also traces every
// character it reads ("state=%d c='%c'"). 0 at start; never changed by the library.
extern int configVerbosity;

// Names the file that all later lookups read (an empty name is kept as given and
// fails to open). A null name means no file, so that a later lookup fails. Out of memory: a message on standard error and the
// process ends with status 1.
void setConfigFile(const char* fileName);

// Looks the name up in the current file and stores its value converted with strtod
// (text without a number gives 0; the "/" entry, which has no value, gives 0).
// Returns only on success. A missing name, an entry that cannot be read before the
// match, a file that cannot be opened, or no file named: a message (the not-found
// one on standard output, the others on standard error) and the process ends with
// status 1.
void getConfigReal(const char* name, double* value);

// Reads the current file from its start and stores in *value the value of the first
// entry named name, at most valueSize - 1 characters (valueSize >= 1); the "/" entry
// gives an empty value. 0 when found; -1 when the file ends, or an entry cannot be
// read, before a match (*value then untouched). A file that cannot be opened, or no
// file named: a message on standard error and the process ends with status 1.
int findConfigValue(const char* name, std::string* value, int valueSize);

// Reads the next entry from file, an open text stream. 0 with *name set (at most
// nameSize - 1 characters) and *value set (at most valueSize - 1 characters), except
// for the "/" entry, which sets *name to "/" and leaves *value untouched. -1 at end of
// file (an entry not yet ended by its terminator is dropped) or on an error, after the
// error's message on standard error: a name or value past its limit, or the end of file
// right after a backslash in a quoted value. fileName is used only in messages.
int readConfigEntry(std::FILE* file, const char* fileName, std::string* name, int nameSize,
                    std::string* value, int valueSize);

} // namespace newstars
