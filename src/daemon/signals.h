// Signal handling of the daemon: termination signals stop the stream,
// SIGUSR1 is a receiver keep-alive.
#pragma once

#include <signal.h>

#include <atomic>

// 1 while the threads run; cleared by the first termination signal or by
// main when the stream thread has stopped.
extern std::atomic<int> main_running;

// Blocks every signal but SIGINT, SIGTERM, SIGQUIT, SIGSEGV, SIGPIPE and
// SIGUSR1, ignores SIGPIPE and installs handle_signal. 0 or -1.
int setup_signals();

// First termination signal: clears main_running and wakes main, which logs
// "catch signal ...". One while main_running is already 0: logs, removes
// the pid file and the session, and ends the process with status 1.
// Only async-signal-safe work is done here.
void handle_signal(int sig);

// The session the handler removes on its exit path (-1: none).
void publish_session_id(int session_id);

// Main's supervision step: returns after one second, or earlier when a
// termination signal arrives in any thread.
void supervision_pause();

// Logs the message of a termination signal the handler took, once.
void log_caught_signal();

// Holds back the termination signals in this thread for its lifetime, across
// a step that their early-exit path would leave half done: a signal that
// arrives meanwhile is taken once the step is complete.
class termination_signals_held {
 public:
  termination_signals_held();
  ~termination_signals_held();
  termination_signals_held(const termination_signals_held&) = delete;
  termination_signals_held& operator=(const termination_signals_held&) = delete;

 private:
  sigset_t previous_{};
  bool held_ = false;
};
