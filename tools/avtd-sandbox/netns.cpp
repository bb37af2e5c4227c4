#include "avtd-sandbox/netns.h"

#include "avtd-sandbox/sandbox.h"

#include <sched.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

namespace avtd_sandbox {

std::string run_in_netns(int netns_fd, const std::function<void()>& fn) {
  std::string error;
  std::exception_ptr thrown;
  std::thread worker([&] {
    if (::setns(netns_fd, CLONE_NEWNET) != 0) {
      error = std::string("setns: ") + std::strerror(errno);
      return;
    }
    try {
      fn();
    } catch (...) {
      thrown = std::current_exception();
    }
  });
  worker.join();
  if (thrown) {
    std::rethrow_exception(thrown);
  }
  return error;
}

void run_in_peer(const std::function<void()>& fn) {
  if (peer_netns_fd() < 0) {
    throw std::runtime_error("the sandbox was not entered: no peer namespace");
  }
  std::string error = run_in_netns(peer_netns_fd(), fn);
  if (!error.empty()) {
    throw std::runtime_error("cannot enter the peer namespace: " + error);
  }
}

} // namespace avtd_sandbox
