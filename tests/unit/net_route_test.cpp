// Host routes for IPv4 multicast groups, against a crafted route table and a
// stand-in route program that records how it was called.
#include "net/route.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr char kHeadings[] = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The table's destination column: the inet_addr() value printed as a number.
std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

std::string line(const char* iface, const char* dest, unsigned flags) {
  return std::string(iface) + "\t" + hex(inet_addr(dest)) + "\t00000000\t" + std::to_string(flags) +
         "\t0\t0\t0\tFFFFFFFF\t0\t0\t0\n";
}

class NetRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/net_route_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    table_ = dir_ + "/route";
    calls_ = dir_ + "/calls";
    bin_ = dir_ + "/bin";
    mkdir(bin_.c_str(), 0755);
    write_file(table_, kHeadings);
    set_route_program("exit 0");
    saved_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", bin_.c_str(), 1);
    saved_table_ = g_route_table_path;
    g_route_table_path = table_.c_str();
  }
  void TearDown() override {
    g_route_table_path = saved_table_;
    setenv("PATH", saved_path_.c_str(), 1);
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup of " << dir_;
  }
  // The stand-in appends its arguments to `calls`, then runs `tail`.
  void set_route_program(const std::string& tail) {
    const std::string path = bin_ + "/route";
    write_file(path, "#!/bin/sh\necho \"$@\" >> '" + calls_ + "'\n" + tail + "\n");
    chmod(path.c_str(), 0755);
  }
  std::string calls() const { return read_file(calls_); }

  std::string dir_, table_, calls_, bin_, saved_path_;
  const char* saved_table_ = nullptr;
};

TEST_F(NetRoutes, MissingGroupRouteIsAddedAndAPresentOneIsDeleted) {
  EXPECT_EQ(add_route(inet_addr("239.1.2.3"), "eth0"), 0);
  EXPECT_EQ(calls(), "add -host 239.1.2.3 dev eth0\n");

  write_file(calls_, "");
  write_file(table_, std::string(kHeadings) + line("eth0", "0.0.0.0", 3) + line("eth0", "239.1.2.3", 5));
  EXPECT_EQ(search_route(inet_addr("239.1.2.3"), "eth0"), 1);
  EXPECT_EQ(add_route(inet_addr("239.1.2.3"), "eth0"), 0);
  EXPECT_EQ(calls(), "") << "a present route is left alone";
  EXPECT_EQ(del_route(inet_addr("239.1.2.3"), "eth0"), 1);
  EXPECT_EQ(calls(), "del -host 239.1.2.3 dev eth0\n");
}

TEST_F(NetRoutes, MalformedAndOverlongLinesAreSkippedSafely) {
  const std::string long_iface(300, 'e');
  write_file(table_, std::string(kHeadings) + "eth0\n" + "eth0 zz 0 5\n" + long_iface + "\t" +
                         hex(inet_addr("239.1.2.3")) + "\t00000000\t5\t0\t0\t0\tFFFFFFFF\n" +
                         "eth0\t" + hex(inet_addr("239.1.2.3")) + "\t00000000\t5\n" +
                         line("eth0", "239.9.9.9", 5));
  EXPECT_EQ(search_route(inet_addr("239.1.2.3"), "eth0"), 0);
  EXPECT_EQ(search_route(inet_addr("239.9.9.9"), "eth0"), 1);

  write_file(table_, ""); // not even headings
  EXPECT_EQ(search_route(inet_addr("239.1.2.3"), "eth0"), 0);
  g_route_table_path = dir_.c_str(); // opens, but reading fails
  EXPECT_EQ(search_route(inet_addr("239.1.2.3"), "eth0"), -2);
  EXPECT_EQ(add_route(inet_addr("239.1.2.3"), "eth0"), -2);
  EXPECT_EQ(calls(), "");
}

pid_t spawn(void (*body)()) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

TEST(NetWaitChild, ExitStatusIsReturnedAndAbnormalEndsGiveMinusOne) {
  EXPECT_EQ(wait_child(spawn([] { _exit(7); })), 7);
  EXPECT_EQ(wait_child(spawn([] { _exit(0); })), 0);
  EXPECT_EQ(wait_child(spawn([] { _exit(255); })), 255);
  EXPECT_EQ(wait_child(spawn([] { raise(SIGKILL); })), -1);
  EXPECT_EQ(wait_child(getpid()), -1) << "not our child";
}

void on_signal(int) {}

TEST(NetWaitChild, InterruptedWaitEndsTheChildAndFails) {
  struct sigaction sa {}, old{};
  sa.sa_handler = on_signal; // no SA_RESTART: the wait is interrupted
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, &old);

  const pid_t child = spawn([] {
    for (int i = 0; i < 300; ++i) pause(); // until SIGTERM, bounded anyway
  });
  const pthread_t waiter = pthread_self();
  std::atomic<bool> done{false};
  std::thread poker([&] {
    for (int i = 0; i < 100 && !done.load(); ++i) {
      std::this_thread::sleep_for(20ms);
      pthread_kill(waiter, SIGUSR1);
    }
  });
  EXPECT_EQ(wait_child(child), -1);
  done = true;
  poker.join();
  sigaction(SIGUSR1, &old, nullptr);
  errno = 0;
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1) << "child already collected";
  EXPECT_EQ(errno, ECHILD);
}

} // namespace
