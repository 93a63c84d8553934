#pragma once
// Stopping cleanly on SIGINT, SIGTERM and SIGHUP while images are decompressed or outputs
// written: every decompressor still running is killed and waited for, every private
// temporary directory is emptied and removed, and every output's temporary file removed,
// before the process ends by the signal as it would
// have without a handler. The registry behind this is process-wide by nature (a signal
// stops the whole process); its entries are claimed and released without locks.

#include <atomic>
#include <csignal>
#include <string>
#include <sys/types.h>

namespace newstars {

// Installs the handler for the stop signals, except those already ignored (as under
// nohup), which stay ignored. Called by the driver before any image is read.
void catchStopSignals();

// Holds the stop signals off in the calling thread for its lifetime, so that a step
// and its entry in the registry happen as one.
class StopSignalsHeld {
public:
    StopSignalsHeld();
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

private:
    sigset_t saved_; // the thread's previous signal mask
};

// One private directory, and the child working in it, to clean up on a stop signal,
// from watch() to the end of the object's life (by then the owner has removed the
// directory). With the stop signals held: claim(), and only when it succeeds make the
// directory and watch() it.
// Once a stop signal has come, no directory is made and no child started any more through
// a StopCleanup: claim() refuses, and child() refuses runProgram a start (base/process.hpp).
class StopCleanup {
public:
    StopCleanup() = default;
    ~StopCleanup();
    StopCleanup(const StopCleanup&) = delete;
    StopCleanup& operator=(const StopCleanup&) = delete;

    // Takes an entry of the registry for a directory about to be made. false when a stop
    // signal has come (make nothing: the process is ending). Without a free entry it is
    // true with nothing registered: the directory is then left to its owner alone.
    bool claim();
    // Registers the directory (a path of fewer than 4096 characters) in the claimed
    // entry; with a longer path the entry is given back and nothing is registered.
    void watch(const std::string& directory);
    // Registers a temporary file instead (made between claim() and this call, the stop
    // signals held throughout), to be removed on a stop signal; a longer path than 4096
    // characters gives the entry back.
    void watchFile(const std::string& path);
    // Gives the entry back: the directory or file is no longer there to remove.
    void release();
    // Where to keep the id of the child working in the directory while it runs (0: none),
    // as runProgram (base/process.hpp) keeps it.
    std::atomic<pid_t>* child();

private:
    // Fills the claimed entry with path and publishes it.
    void publish(const std::string& path, bool file);

    int slot_ = -1;
    std::atomic<pid_t> unwatched_{0}; // the child's place when nothing is registered
};

} // namespace newstars
