// avtd-sandbox [--syslog FILE] [--nic no-offload|offload] [--] COMMAND [ARGS...]
//
// Runs COMMAND inside the sandbox (see sandbox.h) and exits with its status
// (128 + signal when it was killed). Every syslog line is appended to FILE as
// it arrives; FILE is opened before entering, so a host path such as
// /tmp/x.log stays a host file. --nic picks eth0's model: without UDP
// segmentation offload like the device's NIC (the default), or the veth
// segmenting nothing itself (offload). COMMAND finds the receiving host's namespace
// in $AVTD_PEER_NETNS. Processes still running when COMMAND ends get
// SIGTERM, then SIGKILL after two seconds; if the wrapper itself is killed,
// the kernel ends everything inside. SIGINT, SIGTERM and SIGHUP sent to the
// wrapper reach COMMAND. Exit statuses of its own: 2 usage, 77 not root,
// 125 the sandbox could not be set up, 127 COMMAND could not be started.
#include "avtd-sandbox/reaper.h"
#include "avtd-sandbox/sandbox.h"
#include "support/command_line.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr int kExitNoRoot = 77;      // "skipped" to test drivers
constexpr int kExitSetupFailed = 125; // the wrapper failed, not the command
constexpr int kExitCannotRun = 127;
constexpr auto kGrace = std::chrono::seconds(2);
constexpr auto kStep = std::chrono::milliseconds(10);

std::atomic<pid_t> g_command{0};

// Passes SIGINT/SIGTERM/SIGHUP sent to us by a process (kill, timeout) on to
// the command; kill() is async-signal-safe. Signals from the terminal
// (SI_KERNEL) already reach the whole foreground group, the command too: a
// second copy would look like a repeated termination request to it.
void forward_signal(int sig, siginfo_t* info, void*) {
  pid_t pid = g_command.load();
  if (pid > 0 && (info == nullptr || info->si_code != SI_KERNEL)) {
    ::kill(pid, sig);
  }
}

constexpr char kUsage[] =
    "usage: avtd-sandbox [--syslog FILE] [--nic no-offload|offload] [--] COMMAND [ARGS...]\n"
    "Runs COMMAND in a sandbox of its own: private mount, PID and network namespaces, tmpfs on\n"
    "/tmp, /run and /dev, syslog captured on /dev/log, eth0 198.51.100.1 / 2001:db8::1 and a veth\n"
    "pair to a receiving host 198.51.100.2 / 2001:db8::2 (its namespace in $AVTD_PEER_NETNS).\n"
    "  --syslog FILE  append every syslog line to FILE (a host path) as it arrives\n"
    "  --nic MODEL    eth0 as the device's NIC, without UDP segmentation offload (no-offload,\n"
    "                 the default), or the veth segmenting nothing itself (offload)\n"
    "  --help         this text\n"
    "Exits with COMMAND's status (128 + signal when killed); of its own: 2 usage, 77 not root,\n"
    "125 the sandbox could not be set up, 127 COMMAND could not be started. Needs root.\n";

// Stops what is left: SIGTERM first so daemons can clean up, then SIGKILL.
void stop_leftovers() {
  auto pids = avtd_sandbox::descendants_of(::getpid());
  for (pid_t pid : pids) {
    ::kill(pid, SIGTERM);
  }
  const auto deadline = std::chrono::steady_clock::now() + kGrace;
  while (!pids.empty() && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(kStep);
    pids = avtd_sandbox::descendants_of(::getpid());
  }
  avtd_sandbox::kill_descendants();
}

} // namespace

int main(int argc, char** argv) {
  int first = 1;
  const char* syslog_file = nullptr;
  auto nic = avtd_sandbox::Nic::no_offload;
  while (first < argc) {
    std::string_view arg = argv[first];
    if (arg == "--syslog" && first + 1 < argc) {
      syslog_file = argv[first + 1];
      first += 2;
    } else if (arg == "--nic" && first + 1 < argc &&
               (argv[first + 1] == std::string_view("offload") || argv[first + 1] == std::string_view("no-offload"))) {
      nic = argv[first + 1] == std::string_view("offload") ? avtd_sandbox::Nic::offload : avtd_sandbox::Nic::no_offload;
      first += 2;
    } else if (arg == "--") {
      ++first;
      break;
    } else if (arg == "--help") {
      return show_help(kUsage);
    } else if (arg.substr(0, 1) == "-") {
      const bool known = arg == "--syslog" || arg == "--nic";
      return refuse_command_line("avtd-sandbox",
                                 known ? "option " + std::string(arg) + " needs a value" +
                                             (arg == "--nic" ? " (no-offload or offload)" : "")
                                       : "unknown option " + std::string(arg),
                                 kUsage);
    } else {
      break;
    }
  }
  if (first >= argc) {
    return refuse_command_line("avtd-sandbox", "no COMMAND to run", kUsage);
  }

  int log_fd = -1;
  if (syslog_file != nullptr) {
    log_fd = ::open(syslog_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      std::fprintf(stderr, "avtd-sandbox: cannot open %s: %s\n", syslog_file, std::strerror(errno));
      return kExitSetupFailed;
    }
  }

  // A checkout below /tmp or /run stays usable inside: the working
  // directory and the command's own directory are kept.
  std::vector<std::string> keep;
  if (char* cwd = ::getcwd(nullptr, 0)) {
    keep.emplace_back(cwd);
    std::free(cwd);
  }
  if (std::string command = argv[first]; command.find('/') != std::string::npos) {
    keep.push_back(command.substr(0, command.rfind('/') + 1));
  }
  auto entered = avtd_sandbox::enter(keep, nic);
  if (entered.outcome == avtd_sandbox::Outcome::not_root) {
    std::fprintf(stderr, "avtd-sandbox: %s\n", entered.message.c_str());
    return kExitNoRoot;
  }
  if (entered.outcome != avtd_sandbox::Outcome::entered) {
    std::fprintf(stderr, "avtd-sandbox: %s\n", entered.message.c_str());
    return kExitSetupFailed;
  }
  if (log_fd >= 0) {
    avtd_sandbox::captured_syslog().copy_to_fd(log_fd);
  }
  ::setenv(avtd_sandbox::kPeerNetnsEnv, avtd_sandbox::kPeerNetnsPath, 1);

  struct sigaction action{};
  action.sa_sigaction = forward_signal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(sig, &action, nullptr);
  }

  // Held back until the command's pid is known, so none is lost in between.
  sigset_t forwarded;
  sigset_t previous;
  sigemptyset(&forwarded);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&forwarded, sig);
  }
  ::sigprocmask(SIG_BLOCK, &forwarded, &previous);

  pid_t pid = ::fork();
  if (pid == 0) {
    struct sigaction plain{};
    plain.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      ::sigaction(sig, &plain, nullptr);
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    ::execvp(argv[first], argv + first);
    std::fprintf(stderr, "avtd-sandbox: cannot run %s: %s\n", argv[first], std::strerror(errno));
    ::_exit(kExitCannotRun);
  }
  if (pid < 0) {
    std::fprintf(stderr, "avtd-sandbox: fork: %s\n", std::strerror(errno));
    return kExitSetupFailed;
  }
  g_command.store(pid);
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);

  // Reap everything that comes to us (orphaned daemons too) until the
  // command itself ends; its status is ours.
  int code = kExitSetupFailed;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(-1, &status, 0);
    if (done < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (done == pid) {
      code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
  }
  g_command.store(0);
  stop_leftovers();
  // Let the last lines of the stopped daemons reach the file.
  avtd_sandbox::captured_syslog().stop();
  if (log_fd >= 0) {
    ::close(log_fd);
  }
  return code;
}
