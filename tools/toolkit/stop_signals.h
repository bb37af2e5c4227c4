// How every tool stops: SIGTERM and SIGINT call its handler, without
// SA_RESTART so that a blocking wait or a pacing sleep returns at once, and a
// peer that went away is an error of the write, not a SIGPIPE.
#pragma once

#include <csignal>

namespace toolkit {

inline void on_stop_signals(void (*handler)(int)) {
  struct sigaction sa{};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

} // namespace toolkit
