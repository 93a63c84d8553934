#pragma once
// A one-line progress display on standard error for runs over many images: shown only
// when standard error is a terminal, redrawn in place, and erased before anything else
// is written.

#include <cstddef>

namespace newstars {

// The state of the display; all calls are no-ops when it is not enabled.
struct ProgressLine {
    bool enabled = false;
    int total = 0;
    size_t shownWidth = 0; // characters of the line now on the terminal
};

// Enables the display for a run of total images when there is more than one and
// standard error is a terminal.
void startProgress(ProgressLine* progress, int total);

// Lets out what standard output and standard error hold, then draws the line
// "newstars: <done>/<total> <name>" (cut to 79 characters; control characters shown as
// "?") straight to the terminal.
void showProgress(ProgressLine* progress, int done, const char* name);

// Erases the line, so that what is written next starts on a clean line.
void clearProgress(ProgressLine* progress);

} // namespace newstars
