// The sandbox that system tests and the demo run in.
//
// enter() is called by a root process that is still single-threaded. The
// process forks: the parent stays outside, waits, and ends as the child ends
// (same exit code or signal); enter() returns only in the child, which is
// the first process (init) of its own PID namespace, and sees:
//   - a private mount namespace with fresh tmpfs on /tmp, /run and /dev
//     (/dev holds null, zero, urandom, random, full, tty, pts, shm, the
//     fd/stdin/stdout/stderr links, and log: a socket capturing syslog);
//   - a private network namespace with lo up and eth0 198.51.100.1/24,
//     2001:db8::1/64, and no default route; eth0 models the device's NIC,
//     by default one without UDP segmentation offload (Nic below);
//   - eth0's veth peer, also "eth0", 198.51.100.2/24 and 2001:db8::2/64, in a
//     second namespace of its own (the receiving host), reachable at
//     kPeerNetnsPath (so `ip netns exec peer ...` works) or by peer_netns_fd();
//   - a /proc of that PID namespace, whose pids after 1 come from a range
//     no other sandbox running at the same time uses (see pid_range.h);
//   - as its init, every daemon that forks away becomes our child, so its
//     exit status can be collected with waitpid; when we end, the kernel
//     kills whatever is left inside, so nothing outlives a crashed or killed
//     test.
// Termination requests (SIGINT, SIGTERM, SIGHUP) sent to the parent by a
// process are passed on to the child; as init it only receives the ones it
// has a handler for.
// Paths under /tmp, /run and /dev opened after entering are inside the
// sandbox; open host files you want to keep before entering.
#pragma once

#include "avtd-sandbox/syslog_capture.h"

#include <string>
#include <vector>

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

// The NIC model of eth0. Most device NICs cannot segment UDP, so the kernel
// cuts every UDP_SEGMENT burst into datagrams in software before eth0; the
// plain veth hands bursts to the receiving host whole, which no device does.
enum class Nic {
  no_offload, // tx-udp-segmentation off: the device's NIC (the default)
  offload,    // the veth as it comes: segmentation offloaded
};

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
// call it before any other thread exists. Host directories in `keep` (the
// source tree, the build output) stay reachable at their paths even when
// they lie below /tmp or /run, which the sandbox covers.
EnterResult enter(const std::vector<std::string>& keep = {}, Nic nic = Nic::no_offload);

// True once enter() succeeded in this process.
bool entered();

// Every syslog line sent to /dev/log since enter().
SyslogCapture& captured_syslog();

// The peer namespace, held open for the life of the process (-1 before enter).
int peer_netns_fd();

} // namespace avtd_sandbox
