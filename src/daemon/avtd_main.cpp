// The stream daemon: one process serves one RTP stream. main parses the
// command line, becomes a daemon, registers the stream, prepares the stream
// and RTCP records, claims the pid file, starts the two worker threads,
// supervises them and tears everything down in a fixed order. Every
// start-up failure ends the process with its own exit status.
#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/data_source.h"
#include "daemon/options.h"
#include "daemon/pidfile.h"
#include "daemon/raw_syslog.h"
#include "daemon/session.h"
#include "daemon/signals.h"
#include "net/route.h"
#include "net/route_users.h"
#include "platform/session.h"
#include "stream/rtcp_thread.h"
#include "stream/rtp_thread.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "main";

namespace {

enum exit_status {
  kExitNormal = 0,
  kExitNoArguments = 1,
  kExitBadCommandLine = 2,
  kExitDaemonFailed = 3,
  kExitSignalSetupFailed = 4,
  kExitSessionFailed = 5,
  kExitDataSourceFailed = 6,
  kExitInitFailed = 7,
  kExitPidfileFailed = 8,
  kExitThreadFailed = 9,
};

constexpr int kCommandLineSize = 512;
constexpr int kTcpSockPathSize = 48; // any session id the options accept
static_assert(sizeof("/tmp/rtp_over_http_sock_-2147483648") <= kTcpSockPathSize);
constexpr uint32_t kMaxSrcport = 65535;
constexpr int kSrcportSessionBase = 512;

// Static records: the stream record alone holds a 64 KiB table.
rtp_thread g_rtp;
rtcp_thread g_rtcp;
// Other streams to the same multicast group share the host route.
RouteUsers g_route_users;

// A process with no session id (a metadata stream started without one)
// has nothing to remove.
void remove_own_session() {
  if (g_rtp.session_id >= 0) {
    remove_session(g_rtp.session_id);
  }
}

// Why the start failed, where someone trying the daemon by hand sees it
// (--foreground, or before the fork); a daemon's standard error is
// /dev/null by then. Syslog has its own lines.
[[gnu::format(printf, 1, 2)]] void tell(const char* format, ...) {
  std::fprintf(stderr, "%s: ", program_invocation_short_name);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void log_refused_command_line(int argc, char* argv[]) {
  char line[kCommandLineSize] = {};
  size_t used = 0;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    const int n = std::snprintf(line + used, sizeof line - used, "%s ", argv[i]);
    if (n < 0 || used + static_cast<size_t>(n) >= sizeof line - 1) {
      used = sizeof line - 1;
      break;
    }
    used += static_cast<size_t>(n);
  }
  LOG_UNIT(LOG_ERR, "invalid argument[%s]", line);
}

// The derived port is (session id + 512) * 2; a result that no port can
// hold is kept out of range so that the RTCP set-up refuses it.
uint32_t derived_srcport(int session_id) {
  const int64_t port = (static_cast<int64_t>(session_id) + kSrcportSessionBase) * 2;
  return port < 0 || port > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(port);
}

void receive_tcp_connection() {
  char path[kTcpSockPathSize];
  std::snprintf(path, sizeof path, "/tmp/rtp_over_http_sock_%d", g_rtp.session_id);
  const int sock = s_recv_sock(path);
  if (sock < 0) {
    LOG_UNIT(LOG_INFO, "recv socket error");
    LOG_UNIT(LOG_INFO, "get rtp/rtcp over tcp socket");
    remove_own_session();
    delete_pidfile();
    std::exit(kExitNormal);
  }
  g_rtp.ns.sock = sock;
  g_rtcp.ns.sock = sock;
}

void start_threads() {
  if (pthread_create(&g_rtp.tid, nullptr, rtp_thread_exe, &g_rtp) != 0) {
    LOG_UNIT(LOG_ERR, "cannnot create rtp_thread");
    remove_own_session();
    delete_pidfile();
    std::exit(kExitThreadFailed);
  }
  if (pthread_create(&g_rtcp.tid, nullptr, rtcp_thread_exe, &g_rtcp) != 0) {
    LOG_UNIT(LOG_ERR, "cannnot create rtp_thread");
    remove_own_session();
    g_rtp.running.store(0);
    pthread_join(g_rtp.tid, nullptr);
    delete_pidfile();
    std::exit(kExitThreadFailed);
  }
}

void supervise() {
  while (main_running.load() == 1) {
    supervision_pause();
    log_caught_signal();
    if (g_rtp.running.load() == 0) {
      main_running.store(0);
      g_rtcp.running.store(0);
    }
  }
  log_caught_signal();
}

void shut_down(uint32_t route_address) {
  g_rtp.running.store(0);
  g_rtcp.running.store(0);
  pthread_join(g_rtcp.tid, nullptr);
  pthread_join(g_rtp.tid, nullptr);
  if (g_route_users.last_user() && del_route(route_address, g_rtp.ns.device) < 0) {
    LOG_FUNC(LOG_ERR, "main", " : del_route error");
  }
  g_route_users.release();
  delete_pidfile();
  remove_own_session();
}

} // namespace

int main(int argc, char* argv[]) {
  // The records start zeroed (static storage); only these defaults differ.
  g_rtp.session_id = -1;
  g_rtcp.interleaved = 1;

  if (argc < 2) {
    show_usage(argv);
    LOG_UNIT(LOG_ERR, "invalid argument [argc=%d]", argc);
    return kExitNoArguments;
  }
  bool foreground = false;
  if (analyze_options(argc, argv, &g_rtp, &g_rtcp, &foreground) == -1) {
    log_refused_command_line(argc, argv);
    return kExitBadCommandLine;
  }
  if (foreground) {
    // Tried by hand: every line also where the user is; identity and
    // facility stay the defaults, so syslog sees the same lines.
    openlog(nullptr, LOG_PERROR, 0);
    raw_syslog_mirror_to_stderr();
  } else if (daemon(0, 0) != 0) {
    LOG_FUNC(LOG_ERR, "main", ": daemon error(%m)");
    tell("cannot become a daemon: %s", std::strerror(errno));
    return kExitDaemonFailed;
  }
  publish_session_id(g_rtp.session_id);
  if (setup_signals() != 0) {
    LOG_UNIT(LOG_ERR, "set signal error");
    tell("cannot set up the signals");
    return kExitSignalSetupFailed;
  }

  const bool metadata = g_rtp.payload == kPayloadMetadata;
  if (g_rtp.session_id == -1 && !metadata) {
    if (add_session(&g_rtp) != 0) {
      LOG_UNIT(LOG_ERR, "add_session error");
      tell("the session daemon on /tmp/session did not register the stream (is one running? "
           "--session_id names a session and skips the registration)");
      return kExitSessionFailed;
    }
    publish_session_id(g_rtp.session_id);
  }
  if (g_rtp.ns.srcport == 0 || g_rtp.ns.srcport > kMaxSrcport) {
    g_rtp.ns.srcport = derived_srcport(g_rtp.session_id);
  }

  if (select_data_source(&g_rtp) != 0) {
    LOG_UNIT(LOG_ERR, "rtp_thread init error(arch)");
    tell("no data source for this datatype");
    remove_own_session();
    return kExitDataSourceFailed;
  }
  g_rtp.update_session = update_session;
  if (init_rtp_thread(&g_rtp) != 0) {
    LOG_UNIT(LOG_ERR, "rtp_thread init error");
    tell("the stream cannot be set up with these options");
    remove_own_session();
    return kExitInitFailed;
  }
  if (init_rtcp_thread(&g_rtcp, &g_rtp) != 0) {
    LOG_UNIT(LOG_ERR, "rtcp_thread init error");
    tell("the RTCP port cannot be set up (source port %u + 1)", g_rtp.ns.srcport);
    remove_own_session();
    return kExitInitFailed;
  }

  const int claim = create_pidfile(&g_rtp);
  if (claim == kPidfileOwnedByOther) {
    if (!metadata) {
      remove_own_session();
    }
    return kExitNormal;
  }
  if (claim < 0) {
    LOG_FUNC(LOG_ERR, "main", ": create_pidfile error(%d)", claim);
    tell("cannot claim the pid file %s", pidfile_path());
    if (!metadata) {
      remove_own_session();
    }
    return kExitPidfileFailed;
  }

  if (g_rtp.ns.protocol == kProtocolTcp) {
    receive_tcp_connection();
  }
  const uint32_t route_address = inet_addr(g_rtp.ns.host);
  {
    // A termination signal before the running flags are up takes the early
    // exit, which would leave the route just added (and others' share of it);
    // held back until then, it takes the ordinary shutdown that removes it.
    const termination_signals_held held;
    g_route_users.join(route_address, g_rtp.ns.device);
    if (add_route(route_address, g_rtp.ns.device) < 0) {
      LOG_FUNC(LOG_ERR, "main", " : add_route error");
    }
    main_running.store(1);
    g_rtp.running.store(1);
    g_rtcp.running.store(1);
  }

  start_threads();
  supervise();
  shut_down(route_address);
  return kExitNormal;
}
