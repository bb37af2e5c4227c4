// The sandbox that system tests and the demo run in.
//
// enter() turns the calling process (root, still single-threaded) into:
//   - a private mount namespace with fresh tmpfs on /tmp, /run and /dev
//     (/dev holds null, zero, urandom, random, full, tty, pts, shm, the
//     fd/stdin/stdout/stderr links, and log: a socket capturing syslog);
//   - a private network namespace with lo up and eth0 198.51.100.1/24,
//     2001:db8::1/64, and no default route;
//   - eth0's veth peer, also "eth0", 198.51.100.2/24 and 2001:db8::2/64, in a
//     second namespace of its own (the receiving host), reachable at
//     kPeerNetnsPath (so `ip netns exec peer ...` works) or by peer_netns_fd();
//   - a child subreaper, so daemons that fork away stay our children and
//     their exit status can be collected with waitpid.
// Paths under /tmp, /run and /dev opened after entering are inside the
// sandbox; open host files you want to keep before entering.
#pragma once

#include "avtd-sandbox/syslog_capture.h"

#include <string>

namespace avtd_sandbox {

inline constexpr char kNeedRoot[] = "system tests need root: unshare, mounts and veth";
inline constexpr char kPeerNetnsPath[] = "/run/netns/peer";
inline constexpr char kPeerNetnsName[] = "peer";
inline constexpr char kPeerNetnsEnv[] = "AVTD_PEER_NETNS";
inline constexpr char kSyslogPath[] = "/dev/log";

inline constexpr char kDevice[] = "eth0";
inline constexpr char kLocalIpv4[] = "198.51.100.1";
inline constexpr char kPeerIpv4[] = "198.51.100.2";
inline constexpr char kLocalIpv6[] = "2001:db8::1";
inline constexpr char kPeerIpv6[] = "2001:db8::2";
inline constexpr int kDefaultMtu = 1500;

enum class Outcome {
  entered,
  not_root, // not an error: callers skip with the message
  failed,   // root, but something could not be set up
};

struct EnterResult {
  Outcome outcome = Outcome::failed;
  std::string message; // why not entered; empty when entered
};

// Enter the sandbox (once per process). Starts the syslog capture thread, so
// call it before any other thread exists.
EnterResult enter();

// True once enter() succeeded in this process.
bool entered();

// Every syslog line sent to /dev/log since enter().
SyslogCapture& captured_syslog();

// The peer namespace, held open for the life of the process (-1 before enter).
int peer_netns_fd();

} // namespace avtd_sandbox
