#include "toolkit/process.h"

#include "avtd-sandbox/sandbox.h"
#include "toolkit/wait.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace toolkit {
namespace {

constexpr auto kPollStep = std::chrono::milliseconds(2);
constexpr auto kReapAfterKill = std::chrono::seconds(5);

// Output goes to memory files opened for appending, as `>>` would: a child
// that reopens /dev/stdout with `>>` then adds to it instead of overwriting.
Fd memory_file(const char* name) {
  Fd fd(::memfd_create(name, MFD_CLOEXEC));
  if (!fd) {
    throw std::runtime_error(std::string("memfd_create: ") + std::strerror(errno));
  }
  ::fcntl(fd.get(), F_SETFL, O_APPEND);
  return fd;
}

// The child shares the file offset, so read by position.
std::string read_from_start(int fd) {
  std::string text;
  if (fd < 0) {
    return text;
  }
  char buf[8192];
  off_t at = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return text;
    }
    text.append(buf, static_cast<size_t>(n));
    at += n;
  }
}

// PATH search done before fork: the child may only make plain system calls.
std::string resolve(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return program;
  }
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return program;
}

std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& add : extra) {
      replaced = replaced || std::string_view(add).substr(0, add.find('=')) == name;
    }
    if (!replaced) {
      env.emplace_back(text);
    }
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& text : strings) {
    out.push_back(text.data());
  }
  out.push_back(nullptr);
  return out;
}

void write_text(int fd, const char* text) {
  (void)!::write(fd, text, std::strlen(text));
}

[[noreturn]] void child_fail(const char* what, const char* program) {
  // strerror is not async-signal-safe in general; errno's number will do.
  char num[16];
  int err = errno;
  int len = 0;
  char digits[16];
  do {
    digits[len++] = static_cast<char>('0' + err % 10);
    err /= 10;
  } while (err > 0 && len < 15);
  for (int i = 0; i < len; ++i) {
    num[i] = digits[len - 1 - i];
  }
  num[len] = '\0';
  write_text(STDERR_FILENO, "toolkit: cannot ");
  write_text(STDERR_FILENO, what);
  write_text(STDERR_FILENO, " ");
  write_text(STDERR_FILENO, program);
  write_text(STDERR_FILENO, ": errno ");
  write_text(STDERR_FILENO, num);
  write_text(STDERR_FILENO, "\n");
  ::_exit(127);
}

} // namespace

int ExitStatus::code() const {
  switch (kind) {
  case Kind::exited:
    return WEXITSTATUS(raw);
  case Kind::signaled:
    return 128 + WTERMSIG(raw);
  default:
    return -1;
  }
}

int ExitStatus::signal() const {
  return kind == Kind::signaled ? WTERMSIG(raw) : 0;
}

std::string ExitStatus::describe() const {
  switch (kind) {
  case Kind::exited:
    return "exit " + std::to_string(code());
  case Kind::signaled:
    return "signal " + std::to_string(signal()) + " (" + strsignal(signal()) + ")";
  case Kind::timed_out:
    return "timed out";
  case Kind::not_child:
    break;
  }
  return "not a child";
}

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  return out << status.describe();
}

Process::Process(std::vector<std::string> argv, SpawnOptions options) {
  if (argv.empty()) {
    throw std::invalid_argument("Process: empty command");
  }
  out_ = memory_file("stdout");
  err_ = memory_file("stderr");
  Fd in;
  if (!options.stdin_text.empty()) {
    in = memory_file("stdin");
    if (::write(in.get(), options.stdin_text.data(), options.stdin_text.size()) !=
        static_cast<ssize_t>(options.stdin_text.size())) {
      throw std::runtime_error("Process: cannot prepare standard input");
    }
    ::lseek(in.get(), 0, SEEK_SET);
  }
  const int peer_fd = options.in_peer ? avtd_sandbox::peer_netns_fd() : -1;
  if (options.in_peer && peer_fd < 0) {
    throw std::runtime_error("Process: no peer namespace (sandbox not entered)");
  }
  std::string program = resolve(argv[0]);
  auto args = pointers(argv);
  auto env_strings = merged_environment(options.env);
  auto env = pointers(env_strings);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

  pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    // Only system calls from here on: the parent may have other threads.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int in_fd = in ? in.get() : ::open("/dev/null", O_RDONLY);
    ::dup2(out_.get(), STDOUT_FILENO);
    ::dup2(err_.get(), STDERR_FILENO);
    if (in_fd >= 0) {
      ::dup2(in_fd, STDIN_FILENO);
    }
    if (peer_fd >= 0 && ::setns(peer_fd, CLONE_NEWNET) != 0) {
      child_fail("enter the peer namespace for", program.c_str());
    }
    if (cwd != nullptr && ::chdir(cwd) != 0) {
      child_fail("change directory for", program.c_str());
    }
    ::close_range(3, ~0U, 0);
    ::execve(program.c_str(), args.data(), env.data());
    child_fail("run", program.c_str());
  }
  pid_ = pid;
}

Process::~Process() {
  finish();
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::move(other.out_)), err_(std::move(other.err_)),
      status_(std::move(other.status_)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    finish();
    pid_ = std::exchange(other.pid_, -1);
    out_ = std::move(other.out_);
    err_ = std::move(other.err_);
    status_ = std::move(other.status_);
  }
  return *this;
}

void Process::finish() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    status_ = wait_exit(pid_, kReapAfterKill);
  }
}

ExitStatus Process::wait(Millis timeout) {
  if (status_) {
    return *status_;
  }
  if (pid_ <= 0) {
    return {};
  }
  ExitStatus status = wait_exit(pid_, timeout);
  if (!status.timed_out()) {
    status_ = status;
  }
  return status;
}

void Process::signal(int sig) const {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, sig);
  }
}

std::string Process::out() const {
  return read_from_start(out_.get());
}

std::string Process::err() const {
  return read_from_start(err_.get());
}

namespace {

bool wait_text(int fd, std::string_view text, Millis timeout) {
  return wait_until([&] { return read_from_start(fd).find(text) != std::string::npos; }, timeout, kPollStep);
}

} // namespace

bool Process::wait_out(std::string_view text, Millis timeout) const {
  return wait_text(out_.get(), text, timeout);
}

bool Process::wait_err(std::string_view text, Millis timeout) const {
  return wait_text(err_.get(), text, timeout);
}

RunResult run(std::vector<std::string> argv, Millis timeout, SpawnOptions options) {
  Process process(std::move(argv), std::move(options));
  RunResult result;
  result.status = process.wait(timeout);
  if (result.status.timed_out()) {
    process.signal(SIGKILL);
    process.wait(kReapAfterKill);
  }
  result.out = process.out();
  result.err = process.err();
  return result;
}

ExitStatus wait_exit(pid_t pid, Millis timeout) {
  ExitStatus status;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t done = ::waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
      status.raw = raw;
      status.kind = WIFEXITED(raw) ? ExitStatus::Kind::exited : ExitStatus::Kind::signaled;
      return status;
    }
    if (done < 0 && errno == ECHILD && ::kill(pid, 0) != 0 && errno == ESRCH) {
      // Gone, and not ours to reap (or reaped already).
      status.kind = ExitStatus::Kind::not_child;
      return status;
    }
    // Otherwise it runs, or is an orphan on its way to us.
    if (std::chrono::steady_clock::now() >= deadline) {
      status.kind = ExitStatus::Kind::timed_out;
      return status;
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

bool process_alive(pid_t pid) {
  if (pid <= 0 || ::kill(pid, 0) != 0) {
    return false;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' &&
         text[close + 2] != 'X';
}

std::optional<pid_t> read_pid_file(const std::string& path, Millis timeout) {
  std::optional<pid_t> pid;
  wait_until(
      [&] {
        std::ifstream in(path);
        long value = 0;
        if (in >> value && value > 0) {
          pid = static_cast<pid_t>(value);
        }
        return pid.has_value();
      },
      timeout, kPollStep);
  return pid;
}

bool sleeps_on_mapping(pid_t pid, const std::string& path) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::vector<std::pair<unsigned long, unsigned long>> ranges;
  std::ifstream maps(proc + "/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long from = 0, to = 0;
    if (line.ends_with(" " + path) && std::sscanf(line.c_str(), "%lx-%lx", &from, &to) == 2) ranges.emplace_back(from, to);
  }
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error)) {
    // "<syscall number> <first argument> ...", the futex's address first.
    std::ifstream syscall(task.path() / "syscall");
    long number = -1;
    unsigned long address = 0;
    if (!(syscall >> number >> std::hex >> address) || number != SYS_futex) continue;
    for (const auto& [from, to] : ranges) {
      if (address >= from && address < to) return true;
    }
  }
  return false;
}

} // namespace toolkit
