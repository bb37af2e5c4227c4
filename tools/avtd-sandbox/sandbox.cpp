#include "avtd-sandbox/sandbox.h"

#include "avtd-sandbox/setup.h"

#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace avtd_sandbox {
namespace {

int g_peer_fd = -1;
bool g_entered = false;

SyslogCapture& capture() {
  // Never destroyed: the capture thread may still run while static objects
  // of other units go away at exit.
  static auto* instance = new SyslogCapture;
  return *instance;
}

EnterResult failed(std::string why) {
  return {Outcome::failed, "cannot set up the sandbox: " + why};
}

} // namespace

EnterResult enter() {
  if (g_entered) {
    return {Outcome::entered, {}};
  }
  if (::geteuid() != 0) {
    return {Outcome::not_root, kNeedRoot};
  }
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    return failed(std::string("unshare: ") + std::strerror(errno));
  }
  if (auto why = setup_mounts(); !why.empty()) {
    return failed(why);
  }
  if (auto why = setup_network(&g_peer_fd); !why.empty()) {
    return failed(why);
  }
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    return failed(std::string("PR_SET_CHILD_SUBREAPER: ") + std::strerror(errno));
  }
  if (auto why = capture().start(kSyslogPath); !why.empty()) {
    return failed(why);
  }
  g_entered = true;
  return {Outcome::entered, {}};
}

bool entered() {
  return g_entered;
}

SyslogCapture& captured_syslog() {
  return capture();
}

int peer_netns_fd() {
  return g_peer_fd;
}

} // namespace avtd_sandbox
