#pragma once
// Work on a list of items by several threads, with the results taken in list order.

#include <functional>

namespace newstars {

// Runs work(i, w) for i = 0 .. count - 1 on up to workers threads, each item once, items
// started in increasing order, w (0 .. workers - 1) telling the worker, which runs one
// item at a time; and calls deliver(i) on the calling thread for each item
// in increasing order once work(i) has returned. An item starts at most 2 workers places
// after the next one to deliver. When deliver returns false no further
// item is started, the items under way are finished, and deliver is not called again.
// With workers <= 1, or when no thread can be started, everything runs on the calling
// thread: work(0, 0), deliver(0), work(1, 0), ... work and deliver must not throw.
void runInOrder(int count, int workers, const std::function<void(int, int)>& work,
                const std::function<bool(int)>& deliver);

// The number of processors this process may run on (at least 1).
int availableProcessors();

} // namespace newstars
