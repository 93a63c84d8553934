#include "search/stop_signals.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "base/end_by_signal.hpp"
#include "base/process.hpp"

namespace newstars {

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
// As many entries as images decompressed and output files written at once: one of each
// per worker, 256 workers at most, and one for the main thread.
constexpr int SLOT_COUNT = 2 * 256 + 1;
constexpr size_t PATH_LENGTH = 4096;

enum SlotState { SLOT_FREE = 0, SLOT_CLAIMED = 1, SLOT_IN_USE = 2 };

// One registered directory: claimed by compare-and-swap, then filled, then published.
struct Slot {
    std::atomic<int> state{SLOT_FREE};
    std::atomic<pid_t> child{0};
    bool file = false; // directory holds a temporary file's path instead
    char directory[PATH_LENGTH] = {};
};

Slot slots[SLOT_COUNT];

// Set by the first stop signal: no entry is claimed from then on. A worker claims its
// entry, then reads this; the handler sets this, then reads the entries (both in
// sequentially consistent order): so either the worker sees the stop, or the handler
// sees the claimed entry and waits for it to be published.
std::atomic<int> stopping{0};
// Set by the handler that cleans up; another stop signal meanwhile waits for the end.
std::atomic<int> handling{0};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free,
              "the signal handler reads the registry without locks");

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : STOP_SIGNALS)
        sigaddset(&set, signal);
    return set;
}

// Removes the files in the directory and the directory itself, with system calls
// alone (safe in a signal handler). The decompression leaves only files there.
void removeDirectoryInHandler(const char* directory)
{
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buffer[4096];
        for (;;) {
            long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (long at = 0; at < got;) {
                // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name
                unsigned short length = 0;
                std::memcpy(&length, buffer + at + 16, sizeof length);
                const char* name = buffer + at + 19;
                if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
                    unlinkat(fd, name, 0);
                at += length;
            }
        }
        close(fd);
    }
    rmdir(directory);
}

// Sleeps a moment, while another thread finishes a step it holds the stop signals off for.
void pauseBriefly()
{
    const timespec moment{0, 100000};
    nanosleep(&moment, nullptr);
}

// Takes the entry's child slot from its worker: none starts there any more, and the one
// running (if any) is stopped and reaped.
void stopChildInHandler(Slot& slot)
{
    for (;;) {
        pid_t child = slot.child.load();
        if (child == PROGRAM_STARTING) {
            pauseBriefly();
            continue;
        }
        if (!slot.child.compare_exchange_strong(child, PROGRAM_REFUSED))
            continue;
        if (child > 0) {
            kill(child, SIGKILL);
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        return;
    }
}

extern "C" void onStopSignal(int signal)
{
    if (handling.exchange(1) != 0) {
        // The first handler ends the process once its clean-up is done.
        for (;;)
            pause();
    }
    stopping.store(1);
    for (Slot& slot : slots) {
        int state = SLOT_FREE;
        while ((state = slot.state.load()) == SLOT_CLAIMED)
            pauseBriefly();
        if (state != SLOT_IN_USE)
            continue;
        stopChildInHandler(slot);
        if (slot.file)
            unlink(slot.directory);
        else
            removeDirectoryInHandler(slot.directory);
    }
    endBySignal(signal);
}

} // namespace

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_mask = stopSignalSet();
    for (int signal : STOP_SIGNALS) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

StopSignalsHeld::StopSignalsHeld()
{
    const sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

StopSignalsHeld::~StopSignalsHeld()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

StopCleanup::~StopCleanup()
{
    if (slot_ >= 0) {
        slots[slot_].child.store(0);
        slots[slot_].state.store(SLOT_FREE, std::memory_order_release);
    }
}

bool StopCleanup::claim()
{
    if (slot_ >= 0)
        return true;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        int expected = SLOT_FREE;
        if (slots[i].state.compare_exchange_strong(expected, SLOT_CLAIMED)) {
            slot_ = i;
            break;
        }
    }
    if (stopping.load() != 0) {
        if (slot_ >= 0)
            slots[slot_].state.store(SLOT_FREE);
        slot_ = -1;
        return false;
    }
    return true;
}

void StopCleanup::watch(const std::string& directory)
{
    publish(directory, false);
}

void StopCleanup::watchFile(const std::string& path)
{
    publish(path, true);
}

void StopCleanup::publish(const std::string& directory, bool file)
{
    if (slot_ < 0)
        return;
    Slot& slot = slots[slot_];
    if (directory.size() >= PATH_LENGTH) {
        slot.state.store(SLOT_FREE);
        slot_ = -1;
        return;
    }
    std::memcpy(slot.directory, directory.c_str(), directory.size() + 1);
    slot.file = file;
    slot.child.store(0);
    slot.state.store(SLOT_IN_USE);
}

void StopCleanup::release()
{
    if (slot_ >= 0) {
        slots[slot_].child.store(0);
        slots[slot_].state.store(SLOT_FREE, std::memory_order_release);
        slot_ = -1;
    }
}

std::atomic<pid_t>* StopCleanup::child()
{
    return slot_ >= 0 ? &slots[slot_].child : &unwatched_;
}

} // namespace newstars
