#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace quellon {

/// Calls body(i) for every i in 0 … count − 1, spread over the machine's cores; returns when
/// all calls are done. The first exception a call throws is rethrown here (the other calls still
/// run). Calls for different i run at the same time, so body must only touch its own results.
template <class Body>
void parallelFor(std::size_t count, Body&& body)
{
    const std::size_t workers = std::min<std::size_t>(count, std::max(1u, std::thread::hardware_concurrency()));
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) {
            try {
                body(i);
            } catch (...) {
                std::lock_guard lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t i = 1; i < workers; ++i)
            helpers.emplace_back(work);
        work();
    }
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace quellon
