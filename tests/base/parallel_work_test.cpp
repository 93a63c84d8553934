// The pieces of a parallel run: items worked on by several threads and taken in list
// order, results kept by file identity and computed once, and the identity of a file.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/file_cache.hpp"
#include "base/ordered_work.hpp"
#include "base/shared_threads.hpp"
#include "support/files.hpp"

using namespace newstars;

namespace {

TEST(RunInOrderThreads, DeliversEveryItemInOrderWhateverTheWorkers)
{
    for (const int workers : {1, 2, 4, 16}) {
        for (const int count : {0, 1, 5, 60}) {
            std::vector<int> results(static_cast<size_t>(count), -1);
            std::vector<int> delivered;
            runInOrder(
                count, workers,
                [&](int i, int worker) {
                    EXPECT_TRUE(worker >= 0 && worker < workers);
                    // Later items finish first.
                    std::this_thread::sleep_for(std::chrono::microseconds((count - i) % 7 * 100));
                    results[static_cast<size_t>(i)] = i * i;
                },
                [&](int i) {
                    EXPECT_EQ(results[static_cast<size_t>(i)], i * i);
                    delivered.push_back(i);
                    return true;
                });
            ASSERT_EQ(delivered.size(), static_cast<size_t>(count)) << workers << " workers";
            for (int i = 0; i < count; ++i)
                EXPECT_EQ(delivered[static_cast<size_t>(i)], i) << workers << " workers";
        }
    }
}

TEST(RunInOrderThreads, StartsNothingMoreOnceDeliveryStops)
{
    for (const int workers : {1, 3}) {
        std::atomic<int> started{0};
        std::vector<int> delivered;
        runInOrder(
            100, workers,
            [&](int, int) {
                ++started;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            [&](int i) {
                delivered.push_back(i);
                return i < 4;
            });
        EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2, 3, 4})) << workers << " workers";
        // No item starts more than 2 workers places after the next to deliver.
        EXPECT_LE(started.load(), 5 + 2 * workers) << workers << " workers";
    }
}

TEST(FileCacheThreads, ComputesAValueOnceForManyAskingAtOnce)
{
    FileCache<int> cache;
    FileIdentity identity;
    identity.inode = 7;
    std::atomic<int> claims{0};
    std::vector<int> found(8, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < found.size(); ++t) {
        threads.emplace_back([&, t] {
            int value = 0;
            if (!cache.findOrClaim(identity, &value)) {
                ++claims;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                value = 42;
                cache.keep(identity, value);
            }
            found[t] = value;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(claims.load(), 1);
    EXPECT_EQ(found, std::vector<int>(8, 42));

    // A released claim passes to the next caller; another identity is apart.
    FileIdentity other = identity;
    other.size = 1;
    int value = 0;
    EXPECT_FALSE(cache.findOrClaim(other, &value));
    cache.release(other);
    EXPECT_FALSE(cache.findOrClaim(other, &value));
    cache.keep(other, 5);
    EXPECT_TRUE(cache.findOrClaim(other, &value));
    EXPECT_EQ(value, 5);
}

// Every item runs once, whatever the threads, the callers at once and items that run
// items of their own; callers marked busy leave the helpers out, not the work undone.
TEST(SharedThreadsThreads, RunEveryItemOnceFromEveryCaller)
{
    struct Case {
        int threads;
        int callers;
        bool busy;
    };
    const Case cases[] = {{1, 1, false}, {2, 1, false}, {4, 1, false}, {4, 3, false},
                          {2, 2, true},  {3, 4, true}};
    for (const Case& c : cases) {
        SharedThreads shared(c.threads);
        EXPECT_EQ(shared.threads(), c.threads);
        const int outer = 37, inner = 5;
        std::vector<std::vector<std::atomic<int>>> runs(static_cast<size_t>(c.callers));
        for (auto& counts : runs)
            counts = std::vector<std::atomic<int>>(static_cast<size_t>(outer * inner));
        auto call = [&](int caller) {
            const SharedThreads::Busy busy(c.busy ? &shared : nullptr);
            shared.run(outer, [&](int i) {
                runItems(&shared, inner, [&](int j) {
                    ++runs[static_cast<size_t>(caller)][static_cast<size_t>(i * inner + j)];
                });
            });
        };
        std::vector<std::thread> callers;
        for (int k = 1; k < c.callers; ++k)
            callers.emplace_back(call, k);
        call(0);
        for (std::thread& t : callers)
            t.join();
        for (const auto& counts : runs) {
            for (const std::atomic<int>& count : counts)
                EXPECT_EQ(count.load(), 1) << c.threads << " threads, " << c.callers << " callers";
        }
    }
    // No threads: in order on the caller.
    std::vector<int> order;
    runItems(nullptr, 4, [&](int i) { order.push_back(i); });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST(FileIdentity, FollowsTheFileNotTheName)
{
    ScratchDirectory directory;
    const std::string a = directory.path + "/a.fts", b = directory.path + "/b.fts";
    writeFile(a, "first");
    FileIdentity original, again;
    ASSERT_EQ(fileIdentity(a.c_str(), &original), 0);
    ASSERT_EQ(fileIdentity(a.c_str(), &again), 0);
    EXPECT_EQ(original, again);
    ASSERT_EQ(link(a.c_str(), b.c_str()), 0);
    ASSERT_EQ(fileIdentity(b.c_str(), &again), 0);
    EXPECT_FALSE(original == again) << "a new link changes the status time";

    struct Change {
        const char* name;
        void (*make)(const std::string& path);
    };
    const Change changes[] = {
        {"rewritten, same length", [](const std::string& p) { writeFile(p, "other"); }},
        {"rewritten, longer", [](const std::string& p) { writeFile(p, "longer text"); }},
        {"permissions", [](const std::string& p) { chmod(p.c_str(), 0400); }},
        {"replaced",
         [](const std::string& p) {
             writeFile(p + ".new", "first");
             rename((p + ".new").c_str(), p.c_str());
         }},
    };
    for (const Change& change : changes) {
        FileIdentity before, after;
        ASSERT_EQ(fileIdentity(a.c_str(), &before), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        change.make(a);
        ASSERT_EQ(fileIdentity(a.c_str(), &after), 0);
        EXPECT_FALSE(before == after) << change.name;
    }
    FileIdentity untouched = original;
    EXPECT_EQ(fileIdentity((directory.path + "/missing").c_str(), &untouched), -1);
    EXPECT_EQ(untouched, original);
}

} // namespace
