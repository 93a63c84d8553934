#include "base/shared_threads.hpp"

#include <algorithm>
#include <system_error>

namespace newstars {

SharedThreads::SharedThreads(int threads) : threads_(std::clamp(threads, 1, 256))
{
    try {
        for (int t = 1; t < threads_; ++t)
            helpers_.emplace_back([this] { help(); });
    } catch (const std::system_error&) {
        // Fewer helpers do the same work: callers run what none takes.
    }
}

SharedThreads::~SharedThreads()
{
    {
        const std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    waiting_.notify_all();
    for (std::thread& helper : helpers_)
        helper.join();
}

void SharedThreads::help()
{
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        waiting_.wait(guard, [&] { return stopping_ || (!jobs_.empty() && busy_ < threads_); });
        if (stopping_)
            return;
        Job* job = jobs_.front();
        const int item = job->next++;
        if (job->next == job->count)
            jobs_.pop_front();
        ++busy_;
        guard.unlock();
        (*job->work)(item);
        guard.lock();
        --busy_;
        if (++job->done == job->count)
            finished_.notify_all();
        if (!jobs_.empty())
            waiting_.notify_one();
    }
}

void SharedThreads::run(int count, const std::function<void(int)>& work)
{
    if (count <= 0)
        return;
    if (helpers_.empty() || count == 1) {
        for (int i = 0; i < count; ++i)
            work(i);
        return;
    }
    Job job;
    job.work = &work;
    job.count = count;
    std::unique_lock<std::mutex> guard(lock_);
    jobs_.push_back(&job);
    waiting_.notify_all();
    // The caller takes items too, until none is left to start.
    while (job.next < job.count) {
        const int item = job.next++;
        if (job.next == job.count)
            jobs_.remove(&job);
        guard.unlock();
        work(item);
        guard.lock();
        ++job.done;
    }
    finished_.wait(guard, [&] { return job.done == job.count; });
}

SharedThreads::Busy::Busy(SharedThreads* threads) : threads_(threads)
{
    if (threads_ != nullptr) {
        const std::lock_guard<std::mutex> guard(threads_->lock_);
        ++threads_->busy_;
    }
}

SharedThreads::Busy::~Busy()
{
    if (threads_ != nullptr) {
        {
            const std::lock_guard<std::mutex> guard(threads_->lock_);
            --threads_->busy_;
        }
        threads_->waiting_.notify_all();
    }
}

void runItems(SharedThreads* threads, int count, const std::function<void(int)>& work)
{
    if (threads != nullptr) {
        threads->run(count, work);
        return;
    }
    for (int i = 0; i < count; ++i)
        work(i);
}

} // namespace newstars
