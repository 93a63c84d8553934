#include "base/ordered_work.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sched.h>
#include <system_error>
#include <thread>
#include <vector>

namespace newstars {

void runInOrder(int count, int workers, const std::function<void(int, int)>& work,
                const std::function<bool(int)>& deliver)
{
    auto alone = [&] {
        for (int i = 0; i < count; ++i) {
            work(i, 0);
            if (!deliver(i))
                return;
        }
    };
    if (workers <= 1 || count <= 1) {
        alone();
        return;
    }
    // Items finished but not yet delivered hold their results: no item starts more than
    // `ahead` places after the next one to deliver.
    const int ahead = 2 * workers;
    std::mutex lock;
    std::condition_variable finished, progressed;
    std::vector<char> done(static_cast<size_t>(count), 0);
    int next = 0, delivered = 0;
    bool stopped = false;
    auto worker = [&](int w) {
        for (;;) {
            int i = 0;
            {
                std::unique_lock<std::mutex> guard(lock);
                progressed.wait(guard, [&] { return stopped || next < delivered + ahead; });
                if (stopped || next == count)
                    return;
                i = next++;
            }
            work(i, w);
            {
                const std::lock_guard<std::mutex> guard(lock);
                done[static_cast<size_t>(i)] = 1;
            }
            finished.notify_all();
        }
    };
    std::vector<std::thread> threads;
    const int wanted = std::min(workers, count);
    try {
        for (int w = 0; w < wanted; ++w)
            threads.emplace_back(worker, w);
    } catch (const std::system_error&) {
        // Fewer threads do the same work.
    }
    if (threads.empty()) {
        alone();
        return;
    }
    for (int i = 0; i < count; ++i) {
        {
            std::unique_lock<std::mutex> guard(lock);
            finished.wait(guard, [&] { return done[static_cast<size_t>(i)] != 0; });
        }
        const bool goOn = deliver(i);
        {
            const std::lock_guard<std::mutex> guard(lock);
            delivered = i + 1;
            stopped = !goOn;
        }
        progressed.notify_all();
        if (!goOn)
            break;
    }
    for (std::thread& thread : threads)
        thread.join();
}

int availableProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace newstars
