#pragma once
// Polls a condition until it holds or a deadline passes.

#include <chrono>
#include <thread>

// True as soon as `condition()` holds; false when it still fails after `timeout`. Checks every `step`.
template <typename Condition>
bool WaitUntil(Condition&& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5),
               std::chrono::milliseconds step = std::chrono::milliseconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(step);
    }
    return true;
}
