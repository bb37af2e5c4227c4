// Host routes for IPv4 multicast groups, against a crafted route table and a
// stand-in route program that records how it was called.
#include "net/route.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr char kHeadings[] = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

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

// Adding and deleting through the real route program are covered in the
// sandbox; here only the table reader, against crafted tables.
TEST(NetRoutes, MalformedAndOverlongLinesAreSkippedSafely) {
  char tmpl[] = "/tmp/net_route_test.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string table = dir + "/route";
  const char* saved_table = g_route_table_path;
  g_route_table_path = table.c_str();

  const std::string long_iface(300, 'e');
  write_file(table, std::string(kHeadings) + "eth0\n" + "eth0 zz 0 5\n" + long_iface + "\t" +
                        hex(inet_addr("239.1.2.3")) + "\t00000000\t5\t0\t0\t0\tFFFFFFFF\n" + "eth0\t" +
                        hex(inet_addr("239.1.2.3")) + "\t00000000\t5\n" + line("eth0", "0.0.0.0", 3) +
                        line("lo", "239.9.9.9", 5) + line("eth0", "239.9.9.9", 5));
  EXPECT_EQ(search_route(inet_addr("239.1.2.3"), "eth0"), 0);
  EXPECT_EQ(search_route(inet_addr("239.9.9.9"), "eth0"), 1);
  EXPECT_EQ(search_route(inet_addr("239.9.9.9"), "lo"), 1);
  EXPECT_EQ(search_route(inet_addr("239.9.9.9"), "eth1"), 0);

  write_file(table, ""); // not even headings
  EXPECT_EQ(search_route(inet_addr("239.1.2.3"), "eth0"), 0);
  g_route_table_path = dir.c_str(); // opens, but reading fails
  EXPECT_EQ(search_route(inet_addr("239.1.2.3"), "eth0"), -2);
  g_route_table_path = saved_table;
  unlink(table.c_str());
  rmdir(dir.c_str());
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
