// Bounded polling: every wait of the tools and tests has a deadline.
#pragma once

#include <chrono>
#include <thread>

namespace toolkit {

using namespace std::chrono_literals;

// Polls `done` every `step` until it holds (true) or `timeout` passed (false).
template <typename Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds timeout = 5s,
                std::chrono::milliseconds step = 10ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(step);
  }
  return true;
}

} // namespace toolkit
