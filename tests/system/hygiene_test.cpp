// Descriptor and file hygiene: nothing the daemon holds leaks into the route
// command, links and other files planted in shared directories are neither
// followed nor emptied, a handed-over descriptor must be a connected stream
// socket, and no peer that stops answering holds the daemon.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "daemon_runs.h"
#include "event/onvif_event_ipc.h"
#include "handoff.h"
#include "harness/harness.h"
#include "net/route.h"
#include "platform/session.h"
#include "stream/evman_notice.h"

namespace {

constexpr char kStandInDir[] = "/tmp/stand-in-bin";
constexpr char kRouteRecord[] = "/tmp/route-children.log";
constexpr char kHangVariable[] = "AVTD_ROUTE_STAND_IN_HANGS";
constexpr char kSlowVariable[] = "AVTD_ROUTE_STAND_IN_IS_SLOW";
constexpr int kHangSeconds = 60;

// The test binary doubles as the route program: linked as "route" into a
// directory first in the daemon's PATH, it appends one line to kRouteRecord
// ("<operation> <fd>=<target> ...", the descriptors it was started with)
// and then runs the real program, or (asked to) hangs or takes 2 s first.
__attribute__((constructor)) void route_stand_in(int argc, char** argv, char**) {
  if (argc < 2 || argv == nullptr || argv[0] == nullptr) return;
  const char* slash = std::strrchr(argv[0], '/');
  if (std::string_view(slash != nullptr ? slash + 1 : argv[0]) != "route") return;

  std::string line = argv[1];
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
      char target[256] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) < 0) std::strcpy(target, "?");
      line += std::string(" ") + entry->d_name + "=" + target;
    }
    closedir(dir);
  }
  line += "\n";
  const int out = open(kRouteRecord, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out >= 0) {
    [[maybe_unused]] const ssize_t n = write(out, line.data(), line.size());
    close(out);
  }
  if (std::getenv(kHangVariable) != nullptr) {
    for (int i = 0; i < kHangSeconds; ++i) sleep(1);
    _exit(0);
  }
  if (std::getenv(kSlowVariable) != nullptr) sleep(2);
  execv("/usr/sbin/route", argv);
  execv("/sbin/route", argv);
  _exit(127);
}

using namespace harness;
using daemon_runs::launch;
using daemon_runs::wait_forked_exit;
using daemon_runs::wait_until;

constexpr char kGroup[] = "239.1.2.3";
constexpr auto kShutdownWait = 15s;

// Puts the stand-in first in PATH; returns the "PATH=..." entry.
std::string stand_in_path() {
  mkdir(kStandInDir, 0755);
  char self[512] = {};
  EXPECT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const std::string route = std::string(kStandInDir) + "/route";
  unlink(route.c_str());
  EXPECT_EQ(symlink(self, route.c_str()), 0);
  const char* path = std::getenv("PATH");
  return std::string(kStandInDir) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

// The stand-in's record, a line per route command run.
std::vector<std::string> route_children() { return daemon_runs::log_lines(kRouteRecord); }

// Entries of a /proc directory: open descriptors or threads.
size_t entries(const std::string& dir_path) {
  size_t n = 0;
  if (DIR* dir = opendir(dir_path.c_str())) {
    while (const dirent* entry = readdir(dir)) n += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
  }
  return n;
}

// Runs a daemon to a multicast group whose start adds the group's route and
// whose end removes it again; both route commands must see only the
// standard streams, which daemon() pointed at /dev/null.
void expect_route_children_see_only_standard_streams(const std::vector<std::string>& args,
                                                     const std::string& pid_file) {
  unlink(kRouteRecord);
  ASSERT_EQ(run(args, 10s, {.env = {"PATH=" + stand_in_path()}}).status.code(), 0);
  const auto pid = read_pid_file(pid_file, 10s);
  ASSERT_TRUE(pid.has_value()) << syslog_dump();
  ASSERT_TRUE(wait_until([] { return route_children().size() == 1; }, 10s)) << syslog_dump();
  // Signalled before its threads run, the daemon would end at once. Main
  // and the two stream threads (a sanitizer may add one of its own).
  EXPECT_TRUE(wait_until([&] { return entries("/proc/" + std::to_string(*pid) + "/task") >= 3; }, 10s));
  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kShutdownWait).code(), 0);

  const std::string inherited = " 0=/dev/null 1=/dev/null 2=/dev/null";
  EXPECT_EQ(route_children(), (std::vector<std::string>{"add" + inherited, "del" + inherited}));
}

TEST(Hygiene, RouteCommandInheritsNothingButTheStandardStreams) {
  {
    SCOPED_TRACE("UDP stream with its frame store");
    harness::Process feeder = daemon_runs::start_mpeg4_feeder();
    ASSERT_TRUE(wait_for_file("/tmp/shm0")) << feeder.err();
    expect_route_children_see_only_standard_streams(
        daemon_runs::stream_args({"--datatype=mpeg4", std::string("--host=") + kGroup, "--session_id=1",
                                  "--timeout=0"}),
        "/var/run/avtd_channel0.pid");
  }
  {
    SCOPED_TRACE("handed-over TCP connection, held while the route is added");
    TcpListener listener(kPeerIpv4, 0);
    harness::Process handoff({bin("tcp-handoff"), "--session", "9", "--connect",
                              std::string(kPeerIpv4) + ":" + std::to_string(listener.port()), "--timeout", "20"});
    Fd accepted = listener.accept(10s);
    ASSERT_TRUE(accepted) << handoff.err();
    expect_route_children_see_only_standard_streams(
        daemon_runs::stream_args({"--datatype=mpeg4", std::string("--host=") + kGroup, "--protocol=rtp_tcp",
                                  "--interleaved=0-1", "--session_id=9"}),
        "/var/run/avtd_channel0.pid");
  }
}

TEST(Hygiene, HungRouteCommandIsKilledAndTheChangeFails) {
  const std::string path = stand_in_path();
  const std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", path.c_str(), 1);
  setenv(kHangVariable, "1", 1);
  const size_t mark = syslog_mark();
  EXPECT_EQ(add_route(inet_addr(kGroup), "eth0"), -3);
  unsetenv(kHangVariable);
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(route_children().size(), 1u) << "the stand-in ran";
  EXPECT_TRUE(wait_syslog_regex(func_line("wait_child", "network", " : child process signaled(9)"), 3s, mark))
      << syslog_dump();
  EXPECT_TRUE(wait_syslog_regex(func_line("change_route", "network", " : route error"), 3s, mark));
}

// A termination signal while the route command still runs, before the
// threads: the daemon ends as after any stop, with 0, and removes the route.
TEST(Hygiene, TermWhileTheRouteIsAddedStillEndsCleanlyAndRemovesIt) {
  harness::Process feeder = daemon_runs::start_mpeg4_feeder();
  ASSERT_TRUE(wait_for_file("/tmp/shm0")) << feeder.err();
  unlink(kRouteRecord);
  const auto args = daemon_runs::stream_args(
      {"--datatype=mpeg4", std::string("--host=") + kGroup, "--session_id=1", "--timeout=0"});
  ASSERT_EQ(run(args, 10s, {.env = {"PATH=" + stand_in_path(), std::string(kSlowVariable) + "=1"}}).status.code(), 0);
  const auto pid = read_pid_file("/var/run/avtd_channel0.pid", 10s);
  ASSERT_TRUE(pid.has_value()) << syslog_dump();
  ASSERT_TRUE(wait_until([] { return route_children().size() == 1; }, 10s)) << syslog_dump();
  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kShutdownWait).code(), 0) << syslog_dump();
  const auto children = route_children();
  ASSERT_EQ(children.size(), 2u) << syslog_dump();
  EXPECT_EQ(children[1].substr(0, 4), "del ");
}

// A start whose pid file path holds something planted there ends with
// status 8 and leaves what the path leads to as it was.
TEST(Hygiene, PidFileIsNeverWrittenThroughAPlantedLink) {
  constexpr char kPidFile[] = "/var/run/avtd_1.pid";
  constexpr char kVictim[] = "/run/victim";
  constexpr char kNowhere[] = "/run/made-through-link";
  constexpr char kLoop[] = "fopen error(Too many levels of symbolic links)";
  const struct {
    const char* why;
    std::function<int()> plant;
    const char* message;
    int code;
  } cases[] = {
      {"link to a file", [&] { return symlink(kVictim, kPidFile); }, kLoop, -6},
      {"dangling link", [&] { return symlink(kNowhere, kPidFile); }, kLoop, -6},
      // A FIFO would block an ordinary open for reading until a writer came.
      {"FIFO", [&] { return mkfifo(kPidFile, 0644); }, "fread error(Invalid argument)", -1},
  };

  daemon_runs::write_file(kVictim, "precious\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    ASSERT_EQ(c.plant(), 0);
    const size_t mark = syslog_mark();
    ASSERT_EQ(launch(daemon_runs::stream_args({"--datatype=mpeg4", "--session_id=1"})).status.code(), 0);
    EXPECT_EQ(wait_forked_exit().code(), 8) << syslog_dump();
    EXPECT_TRUE(wait_syslog(c.message, 3s, mark)) << syslog_dump();
    EXPECT_TRUE(wait_syslog_regex(
        func_line("main", "main", ": create_pidfile error(" + std::to_string(c.code) + ")"), 3s, mark));
    EXPECT_EQ(read_file(kVictim), "precious\n");
    EXPECT_FALSE(wait_for_file(kNowhere, 0ms));
    unlink(kPidFile);
  }
}

TEST(Hygiene, AddressFileIsNeverWrittenThroughAPlantedLink) {
  constexpr char kAddressFile[] = "/tmp/onvif_ipc_sockd";
  constexpr char kVictim[] = "/tmp/victim";
  constexpr uint32_t kMetadataId = 768;

  daemon_runs::write_file(kVictim, "ADDR_FAMILY=2\n");
  ipc_service_sockets record{};
  ipc_handle handle = 0;
  for (const auto plant : {symlink, link}) {
    SCOPED_TRACE(plant == symlink ? "symbolic link" : "hard link");
    ASSERT_EQ(plant(kVictim, kAddressFile), 0);
    EXPECT_EQ(IPC_iStartSock(&record, AF_INET), -3) << "the service start would have emptied the victim";
    EXPECT_EQ(IPC_iOpen(kMetadataId, kIpcModeListen, &handle), -3) << "registering would rewrite the victim";
    EXPECT_EQ(read_file(kVictim), "ADDR_FAMILY=2\n");
    unlink(kAddressFile);
  }

  // The event service's file under another user: added to, never emptied.
  daemon_runs::write_file(kAddressFile, "ADDR_FAMILY=2\n");
  ASSERT_EQ(chown(kAddressFile, 65534, 65534), 0);
  EXPECT_EQ(IPC_iStartSock(&record, AF_INET), -3);
  ASSERT_EQ(IPC_iOpen(kMetadataId, kIpcModeListen, &handle), 0);
  EXPECT_EQ(read_file(kAddressFile).value_or("").rfind("ADDR_FAMILY=2\n00000300=", 0), 0u);
  IPC_iClose(handle);
  unlink(kAddressFile);

  // Our own plain file is used as always.
  ASSERT_EQ(IPC_iStartSock(&record, AF_INET), 0);
  ASSERT_EQ(IPC_iOpen(kMetadataId, kIpcModeListen, &handle), 0);
  const std::string text = read_file(kAddressFile).value_or("");
  EXPECT_EQ(text.rfind("ADDR_FAMILY=2\n00000300=", 0), 0u) << text;
  IPC_iClose(handle);
}

// The library refuses every other kind of descriptor too (unit RecvSock).
TEST(Hygiene, DaemonHandedADatagramSocketGivesUpAsWhenNothingIsOffered) {
  const Fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  std::thread offering([&] {
    const std::atomic<int> never{0};
    offer_connection("/tmp/rtp_over_http_sock_3", udp.get(), now_ms() + 10000, never);
  });
  const RunResult launched =
      launch(daemon_runs::stream_args({"--protocol=rtp_tcp", "--interleaved=0-1", "--session_id=3"}));
  offering.join();
  ASSERT_EQ(launched.status.code(), 0) << launched.err;
  EXPECT_EQ(wait_forked_exit().code(), 0);
  EXPECT_TRUE(wait_syslog_regex(unit_line("main", "recv socket error"))) << syslog_dump();
  EXPECT_TRUE(wait_syslog_regex(unit_line("main", "get rtp/rtcp over tcp socket")));
  EXPECT_FALSE(wait_for_file("/var/run/avtd_3.pid", 0ms));
}

// Runs `call` on a thread of its own and returns its result, or nothing when
// it is still waiting after `limit` (the thread is then left behind).
std::optional<int> bounded(std::function<int()> call, std::chrono::seconds limit = 30s) {
  auto done = std::make_shared<std::promise<int>>();
  auto result = done->get_future();
  std::thread([done, call] { done->set_value(call()); }).detach();
  if (result.wait_for(limit) != std::future_status::ready) return std::nullopt;
  return result.get();
}

// A local service that listens but never accepts, its queue already full.
struct stalled_service {
  explicit stalled_service(const std::string& path) {
    listener = Fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(listener.get(), 0), 0);
    filler = Fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(connect(filler.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  Fd listener;
  Fd filler;
};

TEST(Hygiene, LocalPeersThatNeverAcceptDoNotHoldTheCaller) {
  const stalled_service sessiond(kSessionServicePath);
  const stalled_service evman("/tmp/localrec-stalled");
  const stalled_service offer("/tmp/rtp_over_http_sock_4");
  const stalled_service fd_passing("/tmp/OnvifScmRights");

  EXPECT_EQ(bounded([] {
              session_info info{};
              std::strcpy(info.codec, "h264");
              return s_udp_add_session(&info);
            }),
            -1)
      << "registration";
  EXPECT_EQ(bounded([] { return s_remove_session(1); }), -1) << "removal, as from the signal handler";
  EXPECT_EQ(bounded([] { return notify_evman_at("/tmp/localrec-stalled", 1); }), -1) << "network-state notice";
  {
    // An event manager that accepts only after 3 s and never answers: the
    // notice counts as given, within its 5 s in all (not 3 + 5).
    const stalled_service late("/tmp/localrec-late");
    Fd queued, ours;
    std::thread accepting([&] {
      poll(nullptr, 0, 3000); // the slow peer of this case, not a synchronisation
      queued = Fd(accept(late.listener.get(), nullptr, nullptr));
      ours = Fd(accept(late.listener.get(), nullptr, nullptr));
    });
    EXPECT_EQ(bounded([] { return notify_evman_at("/tmp/localrec-late", 1); }, 7s), 0) << "late event manager";
    accepting.join();
  }
  EXPECT_EQ(bounded([] { return s_recv_sock("/tmp/rtp_over_http_sock_4"); }), -1) << "connection hand-over";
  EXPECT_EQ(bounded([] {
              int sock = -1;
              return IPC_iUDOpen(kIpcUDConnect, &sock);
            }),
            -1)
      << "descriptor passing";
}

} // namespace
