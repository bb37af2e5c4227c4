// Everything a system test needs; include this one header.
//
// Each system test binary's main (harness/main.cpp) enters the sandbox
// before the tests run (see tools/avtd-sandbox/sandbox.h for what it holds),
// unless gtest is only listing tests. CTest runs every test case in its own
// process, so every case gets a fresh sandbox. Run directly, all cases share
// one; between cases the harness kills leftover processes, empties /tmp and
// /dev/shm, clears the captured syslog and puts eth0 back up at MTU 1500.
// The test process is the first process (pid 1) of the sandbox's PID
// namespace: every daemon that forks away becomes its child, so wait_exit()
// gets the daemon's own exit status, and whatever is left dies with it.
// Without root every test is skipped with
// "system tests need root: unshare, mounts and veth".
//
// A test, in short:
//
//   TEST(Lifecycle, TermEndsWithStatusZero) {
//     using namespace harness;
//     UdpReceiver rx(kPeerIpv4, 5000);                      // on the receiving host
//     RunResult started = run({bin("avtd"), "--host=198.51.100.2", ...});
//     ASSERT_EQ(started.status.code(), 0) << started.err;  // the parent returns at once
//     auto pid = read_pid_file("/var/run/avtd_0.pid");
//     ASSERT_TRUE(pid);
//     ASSERT_TRUE(rx.receive(3s));
//     ::kill(*pid, SIGTERM);
//     EXPECT_EQ(wait_exit(*pid, 5s).code(), 0);             // the daemon's own status
//     EXPECT_TRUE(wait_syslog("catch signal SIGTERM"));
//   }
//
//   files.h     waits for files, read_file, empty_directory
//   syslog.h    lines captured at /dev/log, waits on text or regex
//   net.h       addresses, link up/down and MTU, ip/route, routes
// and from the toolkit (tools/toolkit), all reachable as harness::...:
//   process.h   spawn / run / wait_exit (daemons too), read_pid_file
//   net.h       UDP / TCP receivers, peer sockets
//   daemon.h    bin("avtd"), source_path(...), test_clip(...), daemon_pid_file(args)
//   rtp.h, interleave.h  RTP / RTCP packets and '$' frames
#pragma once

#include "harness/files.h"
#include "harness/net.h"
#include "harness/syslog.h"
#include "toolkit/daemon.h"
#include "toolkit/fd.h"
#include "toolkit/interleave.h"
#include "toolkit/net.h"
#include "toolkit/process.h"
#include "toolkit/rtp.h"
#include "toolkit/wait.h"

namespace harness {

using namespace toolkit;

// Whether the sandbox was entered in this process.
bool sandbox_ready();

} // namespace harness
