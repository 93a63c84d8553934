#pragma once
// Results computed from files, kept for a whole run by the identity of the file on disk,
// each computed once even when several threads ask for it at the same time.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

namespace newstars {

// What tells one file on disk from another, and a file from itself changed: device,
// inode, size, and the times of the last change of the contents and of the status
// (which a new name, new permissions or a rewrite all move).
struct FileIdentity {
    uint64_t device = 0, inode = 0;
    int64_t size = 0;
    int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
    int64_t changedSeconds = 0, changedNanoseconds = 0;

    auto key() const
    {
        return std::tie(device, inode, size, modifiedSeconds, modifiedNanoseconds, changedSeconds,
                        changedNanoseconds);
    }
    bool operator<(const FileIdentity& other) const
    {
        return key() < other.key();
    }
    bool operator==(const FileIdentity& other) const
    {
        return key() == other.key();
    }
};

// The identity of the file name refers to, symbolic links followed: 0 and *identity, or
// -1 (identity untouched) when it cannot be examined.
int fileIdentity(const char* name, FileIdentity* identity);

// Values by file identity. A lookup either finds the value, or claims the identity: the
// claimant computes the value and then keeps it (later lookups find it) or releases the
// claim without a value (the next lookup claims it anew). A lookup of an identity
// claimed by another waits until the claim is settled. Safe to use from several threads.
template <class Value>
class FileCache {
public:
    // true with *value set when the value is kept; false when the caller now holds the
    // claim on identity (*value untouched).
    bool findOrClaim(const FileIdentity& identity, Value* value)
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            const auto entry = entries_.find(identity);
            if (entry == entries_.end()) {
                entries_.emplace(identity, Entry{});
                return false;
            }
            if (entry->second.kept) {
                *value = entry->second.value;
                return true;
            }
            settled_.wait(guard);
        }
    }

    // Settles the caller's claim on identity with value.
    void keep(const FileIdentity& identity, Value value)
    {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            Entry& entry = entries_[identity];
            entry.value = std::move(value);
            entry.kept = true;
        }
        settled_.notify_all();
    }

    // Settles the caller's claim on identity without a value.
    void release(const FileIdentity& identity)
    {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            entries_.erase(identity);
        }
        settled_.notify_all();
    }

private:
    struct Entry {
        bool kept = false;
        Value value{};
    };
    std::mutex lock_;
    std::condition_variable settled_;
    std::map<FileIdentity, Entry> entries_;
};

} // namespace newstars
