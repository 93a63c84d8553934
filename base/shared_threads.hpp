#pragma once
// Threads shared by every step of a run: a step splits its work into items fixed by its
// data (bands of rows, tiles), never by the number of threads, and runs them here. The
// calling thread runs items itself; helper threads join in while fewer threads than the
// run's count are busy, so that a single image uses every thread and a night of many
// images shares them between images and steps.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace newstars {

class SharedThreads {
public:
    // threads in all, the callers' own included (1 to 256; 1 or less: no helper, every
    // item runs on its caller). Fewer helpers start when the system refuses threads.
    explicit SharedThreads(int threads);
    ~SharedThreads();
    SharedThreads(const SharedThreads&) = delete;
    SharedThreads& operator=(const SharedThreads&) = delete;

    // The thread count given (at least 1).
    int threads() const { return threads_; }

    // Runs work(i) for i = 0 .. count - 1, each once, on the calling thread and on helpers
    // that are free, and returns once every one has returned. Items may run in any order
    // and at once: each must write only its own part of the output. work must not throw.
    // May be called from several threads at once, and from inside an item.
    void run(int count, const std::function<void(int)>& work);

    // Marks the calling thread as busy with work of its own (a test image under way) for
    // its lifetime: helpers join in only while fewer than threads() threads are busy.
    class Busy {
    public:
        explicit Busy(SharedThreads* threads);
        ~Busy();
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        SharedThreads* threads_;
    };

private:
    struct Job {
        const std::function<void(int)>* work = nullptr;
        int count = 0;
        int next = 0; // the next item to start
        int done = 0; // items returned
    };
    void help();

    int threads_ = 1;
    std::mutex lock_;
    std::condition_variable waiting_; // helpers wait for items and room
    std::condition_variable finished_; // callers wait for their items
    std::list<Job*> jobs_;            // jobs with items not yet started, oldest first
    int busy_ = 0;                    // threads marked busy, and helpers running an item
    bool stopping_ = false;
    std::vector<std::thread> helpers_;
};

// Runs work(i) for i = 0 .. count - 1 through threads, or in increasing order on the
// calling thread when threads is null.
void runItems(SharedThreads* threads, int count, const std::function<void(int)>& work);

} // namespace newstars
