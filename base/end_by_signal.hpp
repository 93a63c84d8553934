#pragma once
// Ending the process as a signal would end it without a handler, for the last step of a
// stop-signal handler after its own clean-up. Header-only, so that programs linking no
// project library use it too; async-signal-safe.

#include <csignal>
#include <pthread.h>

namespace newstars {

// Restores the default action of signal, unblocks it in the calling thread and raises it:
// the process ends with the status of that signal.
inline void endBySignal(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
}

} // namespace newstars
