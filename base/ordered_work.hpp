#pragma once
// Work on a list of items by several threads, with the results taken in list order.

#include <functional>

namespace newstars {

// Runs work(i, w) for each item i = 0 .. count - 1 once, on up to workers threads; w
// (0 .. workers - 1) names the thread, which runs one item at a time. Items start in
// increasing order, none more than 2 * workers places after the next to deliver.
// deliver(i) runs on the calling thread for each item in increasing order, once work(i)
// has returned. When deliver returns false no further item starts, the items under way
// finish, and deliver is not called again. With workers <= 1, or when no thread can be
// started, all runs on the calling thread: work(0, 0), deliver(0), work(1, 0), ...
// work and deliver must not throw.
void runInOrder(int count, int workers, const std::function<void(int, int)>& work,
                const std::function<bool(int)>& deliver);

// The number of processors this process may run on (at least 1).
int availableProcessors();

} // namespace newstars
