// Work on many files shared out over a few threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

// Calls `each(i)` for every i below `count`, on up to `threads` threads,
// each taking every n-th index: for calls that wait a round trip each on a
// file server, which then wait side by side. On the calling thread alone
// where the indices are too few to share, and a thread that cannot be had
// leaves its share to the calling one.
template <typename Each>
void side_by_side(std::size_t count, unsigned threads, const Each& each)
{
    const std::size_t helpers = std::min<std::size_t>(threads, count / 8);
    const auto share = [&](std::size_t first, std::size_t step) {
        for (std::size_t i = first; i < count; i += step)
            each(i);
    };
    std::vector<std::thread> started;
    for (std::size_t part = 1; part < helpers; ++part) {
        try {
            started.emplace_back(share, part, helpers);
        } catch (const std::system_error&) {
            share(part, helpers);
        }
    }
    share(0, std::max<std::size_t>(helpers, 1));
    for (std::thread& helper : started)
        helper.join();
}
