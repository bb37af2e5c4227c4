#include "avtd-sandbox/tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace avtd_sandbox {
namespace {

constexpr auto kToolTimeout = std::chrono::seconds(10);
constexpr auto kPollStep = std::chrono::milliseconds(1);

std::string read_all(int fd) {
  std::string text;
  char buf[4096];
  ::lseek(fd, 0, SEEK_SET);
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return text;
}

} // namespace

std::string join_args(const std::vector<std::string>& argv) {
  std::string text;
  for (const auto& arg : argv) {
    if (!text.empty()) {
      text += ' ';
    }
    text += arg;
  }
  return text;
}

ToolResult run_tool(const std::vector<std::string>& argv) {
  ToolResult result;
  if (argv.empty()) {
    return result;
  }
  int out = ::memfd_create("tool-output", MFD_CLOEXEC);
  if (out < 0) {
    result.output = std::string("memfd_create: ") + std::strerror(errno);
    return result;
  }
  std::vector<char*> args;
  for (const auto& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0) {
      ::dup2(null_fd, STDIN_FILENO);
    }
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  if (pid < 0) {
    result.output = std::string("fork: ") + std::strerror(errno);
    ::close(out);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + kToolTimeout;
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      break;
    }
    if (done < 0 && errno != EINTR) {
      status = -1;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  result.output = read_all(out);
  ::close(out);
  if (status == -1) {
    result.status = -1;
  } else if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.status = 128 + WTERMSIG(status);
  }
  return result;
}

bool write_file(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

} // namespace avtd_sandbox
