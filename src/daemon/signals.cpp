// The signal handler and the supervision wake-up. The handler only stores
// atomics, posts a semaphore, unlinks, writes to sockets and calls _exit;
// the "catch signal" message is logged by the main thread it wakes.
#include "daemon/signals.h"

#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "daemon/pidfile.h"
#include "daemon/raw_syslog.h"
#include "platform/session.h"
#include "stream/rtp_thread.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "main";

std::atomic<int> main_running{0};

namespace {

constexpr int kAlreadyReceivedLine = __LINE__;
constexpr int kSecondSignalStatus = 1;

std::atomic<int> g_session_for_signal{-1};
std::atomic<int> g_caught_signal{0};
sem_t g_wake;
std::atomic<bool> g_wake_ready{false};

bool is_termination(int sig) { return sig == SIGINT || sig == SIGTERM || sig == SIGQUIT; }

[[noreturn]] void exit_on_second_signal() {
  char text[96];
  int pos = raw_append_text(text, 0, sizeof text, kLogUnit);
  pos = raw_append_text(text, pos, sizeof text, " : ");
  pos = raw_append_number(text, pos, sizeof text, kAlreadyReceivedLine, 0, ' ');
  raw_append_text(text, pos, sizeof text, " : TERM signal is already received.");
  raw_syslog(LOG_INFO, text);
  delete_pidfile_from_signal();
  const int session_id = g_session_for_signal.load();
  if (session_id >= 0) {
    s_remove_session(session_id);
  }
  _exit(kSecondSignalStatus);
}

} // namespace

void handle_signal(int sig) {
  if (sig == SIGUSR1) {
    refresh_keep_alive();
    return;
  }
  if (!is_termination(sig)) {
    return;
  }
  int expected = 1;
  if (!main_running.compare_exchange_strong(expected, 0)) {
    exit_on_second_signal();
  }
  g_caught_signal.store(sig);
  if (g_wake_ready.load()) {
    const int saved_errno = errno;
    sem_post(&g_wake);
    errno = saved_errno;
  }
}

void publish_session_id(int session_id) { g_session_for_signal.store(session_id); }

int setup_signals() {
  if (!g_wake_ready.load()) {
    if (sem_init(&g_wake, 0, 0) != 0) {
      return -1;
    }
    g_wake_ready.store(true);
  }
  raw_syslog_prepare();

  sigset_t all;
  if (sigfillset(&all) != 0 || sigprocmask(SIG_BLOCK, &all, nullptr) != 0) {
    return -1;
  }
  sigset_t open;
  if (sigemptyset(&open) != 0) {
    return -1;
  }
  for (const int sig : {SIGINT, SIGTERM, SIGQUIT, SIGSEGV, SIGPIPE, SIGUSR1}) {
    if (sigaddset(&open, sig) != 0) {
      return -1;
    }
  }
  if (pthread_sigmask(SIG_UNBLOCK, &open, nullptr) != 0) {
    return -1;
  }

  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
    return -1;
  }
  struct sigaction action{};
  action.sa_handler = handle_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; // interrupted calls return EINTR
  for (const int sig : {SIGINT, SIGTERM, SIGQUIT, SIGUSR1}) {
    if (sigaction(sig, &action, nullptr) != 0) {
      return -1;
    }
  }
  return 0;
}

void supervision_pause() {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += 1;
  if (!g_wake_ready.load()) {
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    return;
  }
  // A wake-up or an interrupting signal ends the pause early; the caller
  // re-checks its flags either way.
  sem_clockwait(&g_wake, CLOCK_MONOTONIC, &deadline);
}

void log_caught_signal() {
  switch (g_caught_signal.exchange(0)) {
  case SIGTERM:
    syslog(LOG_INFO, "catch signal SIGTERM");
    break;
  case SIGQUIT:
    syslog(LOG_INFO, "catch signal SIGQUIT");
    break;
  case SIGINT:
    syslog(LOG_INFO, "catch signal SIGINT");
    break;
  default:
    break;
  }
}

termination_signals_held::termination_signals_held() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : {SIGTERM, SIGINT, SIGQUIT}) sigaddset(&set, sig);
  held_ = pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
}

termination_signals_held::~termination_signals_held() {
  if (held_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}
