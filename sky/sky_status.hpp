#pragma once
// The outcome of the sky library's routines that can fail: one status, with a short text
// for each; the details (which field, which line) come beside it as message text.

namespace newstars {

enum class SkyStatus {
    Ok = 0,
    NotANumber,      // sexagesimal text without a leading number, or not a finite value
    EndOfTable,      // no further entry of the reference table is the one asked for
    MalformedTable,  // an entry without six fields, or a sky field without a number
    UnreadableTable, // the table cannot be read, or memory for a line runs out
};

// A short text for a status ("malformed reference table", ...); "unknown sky status" for
// any other value.
const char* skyStatusText(SkyStatus status);

} // namespace newstars
