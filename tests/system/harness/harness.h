// Everything a system test needs; include this one header.
//
// Each system test binary's main (harness/main.cpp) enters the sandbox
// before the tests run (see tools/avtd-sandbox/sandbox.h for what it holds),
// unless gtest is only listing tests. CTest runs every test case in its own
// process, so every case gets a fresh sandbox. Run directly, all cases share
// one; between cases the harness kills leftover processes, empties /tmp and
// /dev/shm, clears the captured syslog and puts eth0 back up at MTU 1500.
// Without root every test is skipped with
// "system tests need root: unshare, mounts and veth".
//
//   process.h   spawn / run / wait_exit (daemons too)
//   files.h     pid files, waits for files, read_file, empty_directory
//   syslog.h    lines captured at /dev/log, waits on text or regex
//   net.h       addresses, link up/down and MTU, ip/route, routes, peer sockets
//   receiver.h  UDP / TCP receivers on the receiving host
//   paths.h     bin("avtd"), source_path(...)
#pragma once

#include "harness/fd.h"
#include "harness/files.h"
#include "harness/net.h"
#include "harness/paths.h"
#include "harness/process.h"
#include "harness/receiver.h"
#include "harness/syslog.h"

namespace harness {

// Whether the sandbox was entered in this process.
bool sandbox_ready();

} // namespace harness
