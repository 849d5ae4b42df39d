// Work split into parts that run at once, on threads of their own and the caller's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace quorvel {

// How many parts work of `amount` units is split into where `least` units are worth a thread of
// their own: as many as the machine runs at once, up to `most`, and one for less work.
inline size_t parts_for(size_t amount, size_t least, size_t most) {
    if (amount < least) {
        return 1;
    }
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, most);
}

// Runs `part(k)` for each k below `parts`, and returns once every part has ended: the first on the
// caller's thread, the others on threads of their own, or on the caller's where no thread can be
// started. `part` throws nothing: a part that may fail keeps its failure for the caller to see.
template <typename Part>
void run_in_parts(size_t parts, const Part& part) {
    std::vector<std::jthread> workers;
    size_t started = 1;
    try {
        workers.reserve(parts - 1);
        for (; started < parts; ++started) {
            workers.emplace_back(std::cref(part), started);
        }
    } catch (...) {
        // No thread to be had: the parts left run here instead.
    }
    for (size_t k = started; k < parts; ++k) {
        part(k);
    }
    part(0);
}  // every worker joined

}  // namespace quorvel
