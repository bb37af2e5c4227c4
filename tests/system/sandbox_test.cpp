// The sandbox itself: what every other system test takes for granted.
#include "harness/harness.h"

#include "avtd-sandbox/pid_range.h"
#include "avtd-sandbox/reaper.h"
#include "avtd-sandbox/syslog_capture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace {

using namespace harness;

std::vector<std::string> directory_entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* entry = ::readdir(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

long filesystem_type(const char* path) {
  struct statfs st{};
  return ::statfs(path, &st) == 0 ? static_cast<long>(st.f_type) : -1;
}

// Sends one datagram from a UDP socket on the daemon's side, bound to
// `source` unless that is null; 0 or -errno.
int send_from(const char* source, const char* destination, uint16_t port, const std::string& payload) {
  const addrinfo hints{.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV, .ai_socktype = SOCK_DGRAM};
  addrinfo* to = nullptr;
  addrinfo* from = nullptr;
  if (::getaddrinfo(destination, std::to_string(port).c_str(), &hints, &to) != 0 ||
      (source != nullptr && ::getaddrinfo(source, "0", &hints, &from) != 0)) {
    return -EINVAL;
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> free_to(to, ::freeaddrinfo), free_from(from, ::freeaddrinfo);
  Fd sock(::socket(to->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock || (from != nullptr && ::bind(sock.get(), from->ai_addr, from->ai_addrlen) != 0)) {
    return -errno;
  }
  if (::sendto(sock.get(), payload.data(), payload.size(), 0, to->ai_addr, to->ai_addrlen) < 0) {
    return -errno;
  }
  return 0;
}

TEST(Sandbox, TmpRunAndDevArePrivateFreshTmpfs) {
  for (const char* dir : {"/tmp", "/run", "/dev", "/dev/shm"}) {
    EXPECT_EQ(filesystem_type(dir), static_cast<long>(TMPFS_MAGIC)) << dir;
  }
  // Empty but for the way to a checkout that lies below them.
  auto kept_below = [](const std::string& dir) {
    std::vector<std::string> names;
    for (const std::string& kept : {source_path(""), bin("")}) {
      if (kept.rfind(dir + "/", 0) == 0) {
        names.push_back(kept.substr(dir.size() + 1, kept.find('/', dir.size() + 1) - dir.size() - 1));
      }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
  };
  EXPECT_EQ(directory_entries("/tmp"), kept_below("/tmp"));
  // And the handle of the receiving host's namespace lives in /run.
  auto run_entries = kept_below("/run");
  run_entries.push_back("netns");
  std::sort(run_entries.begin(), run_entries.end());
  EXPECT_EQ(directory_entries("/run"), run_entries);
  EXPECT_EQ(directory_entries("/run/netns"), std::vector<std::string>{"peer"});
  EXPECT_TRUE(directory_entries("/dev/shm").empty());

  // Nothing mounted here propagates to the host: no mount is shared.
  const std::string mounts = read_file("/proc/self/mountinfo").value_or("");
  ASSERT_FALSE(mounts.empty());
  EXPECT_EQ(mounts.find(" shared:"), std::string::npos) << mounts;

  // This process is the first of its own PID namespace, with a /proc of it.
  EXPECT_EQ(::getpid(), 1);
  EXPECT_EQ(read_file("/proc/1/comm").value_or(""), "sandbox_test\n");
}

TEST(Sandbox, SyslogLinesFromLoggerAndTheCLibraryAreCaptured) {
  const std::string file = "/tmp/syslog.txt";
  ASSERT_TRUE(syslog_to_file(file));

  ASSERT_EQ(run({"logger", "-t", "avtd", "main : 123 : process is existed"}).status.code(), 0);
  auto line = wait_syslog_regex(unit_line("main", "process is existed"));
  ASSERT_TRUE(line) << syslog_dump();
  EXPECT_EQ(line->message, "main : 123 : process is existed");
  EXPECT_NE(line->raw.find("avtd"), std::string::npos);

  ::openlog("probe", LOG_PID, LOG_DAEMON);
  ::syslog(LOG_ERR, "main line %d in main: daemon error(%s)", 45, "x");
  ::syslog(LOG_INFO, "second");
  ::closelog();
  // A read right after the sending call already holds the lines: it waits
  // for a marker of its own that queued behind them.
  const auto lines = syslog_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].message, "main line 45 in main: daemon error(x)");
  EXPECT_EQ(lines[1].raw.rfind("<27>", 0), 0u) << lines[1].raw; // daemon.err
  EXPECT_NE(lines[1].raw.find("probe[" + std::to_string(::getpid()) + "]: "), std::string::npos);
  // Arrival order and times are kept; the copy holds the same raw lines.
  EXPECT_LE(lines[0].at, lines[1].at);
  EXPECT_LE(lines[1].at, lines[2].at);
  EXPECT_EQ(syslog_count("second"), 1u);
  EXPECT_EQ(read_file(file).value_or(""), lines[0].raw + "\n" + lines[1].raw + "\n" + lines[2].raw + "\n");

  clear_syslog();
  EXPECT_EQ(syslog_mark(), 0u);
  EXPECT_FALSE(wait_syslog("second", 50ms));
}

TEST(Sandbox, ABurstOfSyslogLinesArrivesWholeAndInOrder) {
  // Two writers at once, each far more lines than a socket queue holds.
  constexpr int kLines = 3000;
  Process shell({"sh", "-c", "i=0; while [ $i -lt 100 ]; do logger -t burst \"shell $i\"; i=$((i+1)); done"});
  ::openlog("burst", 0, LOG_DAEMON);
  for (int i = 0; i < kLines; ++i) {
    ::syslog(LOG_INFO, "line %d", i);
  }
  ::closelog();
  EXPECT_EQ(shell.wait(60s).code(), 0);
  EXPECT_EQ(wait_syslog_count("line ", kLines, 10s), static_cast<size_t>(kLines));
  EXPECT_EQ(wait_syslog_count("shell ", 100, 10s), 100u);
  int next = 0;
  int next_shell = 0;
  for (const auto& line : syslog_lines()) {
    if (line.message.rfind("line ", 0) == 0) {
      ASSERT_EQ(line.message, "line " + std::to_string(next++));
    } else if (line.message.rfind("shell ", 0) == 0) {
      ASSERT_EQ(line.message, "shell " + std::to_string(next_shell++));
    }
  }
}

TEST(Sandbox, MulticastLeavesOnlyThroughAHostRoute) {
  EXPECT_FALSE(has_default_route()) << proc_net_route();
  EXPECT_EQ(send_from(nullptr, "239.1.2.3", 5004, "x"), -ENETUNREACH);
  EXPECT_EQ(send_from(nullptr, "203.0.113.9", 5004, "x"), -ENETUNREACH);

  UdpReceiver group("239.1.2.3", 0);
  ASSERT_EQ(route({"add", "-host", "239.1.2.3", "dev", "eth0"}).status.code(), 0);
  const auto routes = ipv4_routes();
  EXPECT_TRUE(std::any_of(routes.begin(), routes.end(), [](const Route& r) {
    return r.device == "eth0" && r.destination_text() == "239.1.2.3" && r.mask_text() == "255.255.255.255";
  }));
  ASSERT_EQ(send_from(nullptr, "239.1.2.3", group.port(), "group"), 0);
  auto d = group.receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(std::string(d->data.begin(), d->data.end()), "group");

  // IPv6 keeps its ff00::/8 route on every link, so a group is reachable
  // through eth0 without a host route of ours.
  UdpReceiver group6("ff15::1234", 0);
  ASSERT_EQ(send_from(nullptr, "ff15::1234", group6.port(), "group6"), 0);
  EXPECT_TRUE(group6.receive());
}

TEST(Sandbox, LinkCanBeTakenDownAndUpAndItsMtuChanged) {
  ASSERT_TRUE(link_is_up());
  EXPECT_EQ(link_mtu(), kDefaultMtu);

  ASSERT_TRUE(set_mtu(1280));
  EXPECT_EQ(link_mtu(), 1280);
  EXPECT_EQ(read_file("/sys/class/net/eth0/mtu").value_or(""), "1280\n");

  UdpReceiver rx(kPeerIpv4, 0);
  ASSERT_TRUE(set_link_up(false));
  EXPECT_FALSE(link_is_up());
  EXPECT_NE(send_from(kLocalIpv4, kPeerIpv4, rx.port(), "while down"), 0);
  EXPECT_FALSE(rx.receive(100ms));

  ASSERT_TRUE(set_link_up(true));
  // Carrier returns a moment after the flag; bounded wait.
  for (int i = 0; i < 500 && !link_is_up(); ++i) {
    ::usleep(2000);
  }
  ASSERT_TRUE(link_is_up());
  ASSERT_EQ(send_from(kLocalIpv4, kPeerIpv4, rx.port(), "up again"), 0);
  auto d = rx.receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(std::string(d->data.begin(), d->data.end()), "up again");
}

// A job that outlives the shell that started it, as a daemon that forks away
// does: its pid file names it, and its exit status must still reach us.
pid_t start_orphan(const std::string& body) {
  static int count = 0;
  const std::string pid_file = "/tmp/orphan" + std::to_string(count++) + ".pid";
  EXPECT_EQ(run({"sh", "-c", "(" + body + ") </dev/null >/dev/null 2>&1 & echo $! >" + pid_file}).status.code(), 0);
  return read_pid_file(pid_file).value_or(-1);
}

TEST(Sandbox, ExitStatusOfAnOrphanedGrandchildIsCollected) {
  ASSERT_EQ(::mkfifo("/tmp/release", 0600), 0);
  const pid_t waiting = start_orphan("read go </tmp/release; exit 7");
  ASSERT_GT(waiting, 0);
  EXPECT_TRUE(wait_exit(waiting, 50ms).timed_out());
  std::ofstream("/tmp/release") << "go\n";
  EXPECT_EQ(wait_exit(waiting, 5s).code(), 7);
  EXPECT_FALSE(process_alive(waiting));

  const pid_t killed = start_orphan("sleep 30; exit 0");
  ASSERT_GT(killed, 0);
  ::kill(killed, SIGTERM);
  const ExitStatus status = wait_exit(killed, 5s);
  EXPECT_TRUE(status.signaled());
  EXPECT_EQ(status.code(), 128 + SIGTERM);
  EXPECT_FALSE(read_pid_file("/tmp/no-such.pid", 20ms));

  // What a test leaves running is cleared before the next one.
  const pid_t stray = start_orphan("sleep 30; exit 0");
  ASSERT_GT(stray, 0);
  avtd_sandbox::kill_descendants();
  EXPECT_FALSE(process_alive(stray));
  EXPECT_TRUE(avtd_sandbox::descendants_of(::getpid()).empty());
}

TEST(Sandbox, WrapperRunsACommandInAFreshSandboxAndKeepsItsSyslog) {
  ASSERT_TRUE(Fd(::open("/tmp/outer-marker", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)));
  const RunResult result = run({bin("avtd-sandbox"), "--syslog", "/tmp/wrapped.log", "--", "sh", "-c",
                                "test ! -e /tmp/outer-marker || exit 9; logger -t avtd 'main : 1 : inner'; "
                                "nsenter --net=\"$AVTD_PEER_NETNS\" ip -o -4 addr show dev eth0; exit 4"});
  EXPECT_EQ(result.status.code(), 4) << result.err;
  EXPECT_NE(result.out.find(kPeerIpv4), std::string::npos) << result.out;
  const std::string log = read_file("/tmp/wrapped.log").value_or("");
  EXPECT_NE(log.find("avtd: main : 1 : inner\n"), std::string::npos) << log;
  // The inner sandbox had its own /dev/log: nothing reached ours.
  EXPECT_EQ(syslog_count("inner"), 0u);

  // A termination request to the wrapper reaches the command once.
  Process wrapped({bin("avtd-sandbox"), "--", "sh", "-c",
                   "trap 'echo term; exit 9' TERM; echo ready; while :; do sleep 0.02; done"});
  ASSERT_TRUE(wrapped.wait_out("ready\n"));
  wrapped.signal(SIGTERM);
  EXPECT_EQ(wrapped.wait(5s).code(), 9);
  EXPECT_EQ(wrapped.out(), "ready\nterm\n");

  EXPECT_EQ(run({bin("avtd-sandbox"), "--", "sh", "-c", "kill -SEGV $$"}).status.code(), 128 + SIGSEGV);
}

TEST(Sandbox, ParallelSandboxesHandOutDifferentPids) {
  // Names made from $$ in a shared directory must not collide between
  // sandboxes running at the same time.
  const std::vector<std::string> show_pid = {bin("avtd-sandbox"), "--", "sh", "-c", "echo $$; sleep 0.5"};
  Process first(show_pid);
  Process second(show_pid);
  ASSERT_EQ(first.wait().code(), 0) << first.err();
  ASSERT_EQ(second.wait().code(), 0) << second.err();
  EXPECT_NE(first.out(), second.out());
  EXPECT_GE(std::atoi(first.out().c_str()), avtd_sandbox::kPidRangeSize);
  // And this process's own children count from its range too.
  EXPECT_GE(std::atoi(run({"sh", "-c", "echo $$"}).out.c_str()), avtd_sandbox::kPidRangeSize);
}

TEST(Sandbox, ACheckoutBelowTmpStaysReachableAndIsNeverEmptied) {
  // A checkout below /tmp, as the wrapper sees it when started from there.
  ASSERT_EQ(::mkdir("/tmp/checkout", 0755), 0);
  {
    std::ofstream script("/tmp/checkout/run.sh");
    script << "#!/bin/sh\necho \"inside $(pwd)\"\n";
  }
  ASSERT_EQ(::chmod("/tmp/checkout/run.sh", 0755), 0);
  const RunResult wrapped = run({bin("avtd-sandbox"), "--", "./run.sh"}, 10s, {.cwd = "/tmp/checkout"});
  EXPECT_EQ(wrapped.status.code(), 0) << wrapped.err;
  EXPECT_EQ(wrapped.out, "inside /tmp/checkout\n");

  // Clearing /tmp between tests stops at other file systems bound into it.
  ASSERT_EQ(::mkdir("/dev/shm/tree", 0755), 0);
  { std::ofstream("/dev/shm/tree/precious") << "x"; }
  ASSERT_EQ(::mkdir("/tmp/scratch", 0755), 0);
  ASSERT_EQ(::mkdir("/tmp/scratch/bound", 0755), 0);
  { std::ofstream("/tmp/scratch/junk") << "x"; }
  ASSERT_EQ(::mount("/dev/shm/tree", "/tmp/scratch/bound", nullptr, MS_BIND, nullptr), 0);
  empty_directory("/tmp");
  EXPECT_TRUE(read_file("/dev/shm/tree/precious")) << "a bound tree was emptied";
  EXPECT_FALSE(read_file("/tmp/scratch/junk"));
  EXPECT_FALSE(read_file("/tmp/checkout/run.sh"));
  ::umount("/tmp/scratch/bound");
}

TEST(Sandbox, NothingOutlivesAKilledSandbox) {
  Process wrapped({bin("avtd-sandbox"), "--", "sh", "-c",
                   "setsid sleep 60 & (sleep 61 &) ; echo started; wait"});
  ASSERT_TRUE(wrapped.wait_out("started\n"));
  std::vector<pid_t> inside = avtd_sandbox::descendants_of(wrapped.pid());
  EXPECT_GE(inside.size(), 4u) << "init, sh and two sleeps";
  wrapped.signal(SIGKILL);
  EXPECT_EQ(wrapped.wait().signal(), SIGKILL);
  for (pid_t pid : inside) {
    for (int i = 0; i < 1000 && process_alive(pid); ++i) {
      ::usleep(2000);
    }
    EXPECT_FALSE(process_alive(pid)) << pid;
  }
}

} // namespace
