// The daemon under measurement: started as the device's session service
// would start it, and stopped with SIGTERM.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "context.h"

namespace bench {

struct daemon_process {
  pid_t pid = -1;           // the daemon (after it forked away)
  pid_t stream_tid = 0;     // its stream thread
  double launcher_cpu_ms = 0; // the process before it became a daemon
  int64_t launched_ns = 0;  // CLOCK_REALTIME just before the start
  double stop_wall_ms = -1; // from SIGTERM to the end, when stop_daemon sent it
};

std::string daemon_pid_file(int session);

// Starts an H.264 stream of channel 0 to the receiving host's `port` and
// waits until it has become a daemon and written its pid file.
// `row` names its log; kRowDaemonNoOffload runs it as on a kernel without
// UDP segmentation offload, kRowDaemonSingle without sendmmsg as well.
bool launch_daemon(const context& ctx, int session, int port, daemon_process& d, std::string& error,
                   const std::string& row = kRowDaemon);

// The stream thread is the first thread the daemon starts; false when it
// does not show up within a second.
bool find_stream_thread(daemon_process& d);

// SIGTERM; false unless the daemon ends with status 0.
bool stop_daemon(daemon_process& d, std::string& error);
// The same after the caller sent the SIGTERM itself.
bool await_daemon(daemon_process& d, std::string& error);

} // namespace bench
