// The address file shared by every endpoint of the device: its lines, its
// lock, and what happens when it is missing or incomplete.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "event/ipc_addrfile.h"
#include "event/ipc_channel.h"
#include "event/ipc_file.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The endpoint's line as it must stand in the address file.
std::string line_of(uint32_t id, ipc_handle h, int* family = nullptr) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  getsockname(h, reinterpret_cast<sockaddr*>(&a), &len);
  if (family != nullptr) *family = a.ss_family;
  const int port = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  char line[32];
  std::snprintf(line, sizeof line, "%08x=%d\n", id, port);
  return line;
}

TEST(IpcAddressFile, BothFamiliesStartRegisterAndCarryAMessage) {
  for (const int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    ipc_test::ipc_dir dir(0);
    dir.write_address_file("00000300=1234\n"); // left over from an earlier run
    ipc_service_sockets record{};
    ASSERT_EQ(IPC_iStartSock(&record, family), 0);
    const std::string family_line = "ADDR_FAMILY=" + std::to_string(family) + "\n";
    EXPECT_EQ(dir.read_address_file(), family_line);

    ipc_test::listener service(512);
    ASSERT_EQ(service.open_result(), 0);
    int bound_family = 0;
    EXPECT_EQ(dir.read_address_file(), family_line + line_of(512, service.handle(), &bound_family));
    EXPECT_EQ(bound_family, family);
    ipc_handle c = 0;
    ASSERT_EQ(IPC_iOpen(512, kIpcModeConnect, &c), 0);
    auto msg = ipc_test::message(5, 300, 512, 20);
    EXPECT_EQ(IPC_iSend(c, msg.data(), 20), 0);
    IPC_iClose(c);
    EXPECT_EQ(service.next(), msg);
  }
  ipc_service_sockets record{};
  EXPECT_EQ(IPC_iStartSock(&record, 1), -3);
  EXPECT_EQ(IPC_iStartSock(nullptr, AF_INET), -3);
}

TEST(IpcAddressFile, ReopeningAnIdReplacesItsLineAndKeepsTheOthers) {
  ipc_test::ipc_dir dir;
  ipc_test::listener other(300);
  ipc_handle first = 0;
  ASSERT_EQ(IPC_iOpen(768, kIpcModeListen, &first), 0);
  IPC_iClose(first); // the line stays behind a closed endpoint
  EXPECT_EQ(count_of(dir.read_address_file(), "00000300="), 1);
  ipc_test::listener second(768);
  ASSERT_EQ(second.open_result(), 0);
  EXPECT_EQ(dir.read_address_file(),
            "ADDR_FAMILY=2\n" + line_of(300, other.handle()) + line_of(768, second.handle()));
}

TEST(IpcAddressFile, ConcurrentRegistrationsFromManyProcessesLeaveOneLineEach) {
  ipc_test::ipc_dir dir;
  constexpr int kProcesses = 6;
  constexpr int kRounds = 25;
  pid_t children[kProcesses];
  for (int p = 0; p < kProcesses; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      int failures = 0;
      for (int round = 0; round < kRounds; ++round) {
        ipc_handle h = 0;
        if (IPC_iOpen(768 + p, kIpcModeListen, &h) != 0) ++failures;
        else IPC_iClose(h);
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string text = dir.read_address_file();
  EXPECT_EQ(count_of(text, "ADDR_FAMILY=2\n"), 1);
  for (int p = 0; p < kProcesses; ++p) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x=", 768 + p);
    EXPECT_EQ(count_of(text, tag), 1) << tag << " in\n" << text;
  }
  EXPECT_EQ(count_of(text, "\n"), kProcesses + 1);
}

TEST(IpcAddressFile, MissingFileOrFamilyLineFailsTheOpenWithMinusThree) {
  // No file; no family line; a family that is neither IPv4 nor IPv6.
  for (const char* text : {static_cast<const char*>(nullptr), "00000200=4000\n", "ADDR_FAMILY=1\n"}) {
    SCOPED_TRACE(text == nullptr ? "no file" : text);
    ipc_test::ipc_dir dir(0);
    if (text != nullptr) dir.write_address_file(text);
    ipc_handle h = 0;
    EXPECT_EQ(IPC_iOpen(512, kIpcModeListen, &h), -3);
    EXPECT_EQ(IPC_iOpen(512, kIpcModeConnect, &h), -3);
    EXPECT_EQ(h, 0);
  }
}

TEST(IpcAddressFile, ConnectsToTheFirstLineOfItsIdAndNeverToTheFamilyLine) {
  ipc_test::ipc_dir dir;
  // "ADDR_FAM" starts with the hexadecimal digits "AD" (173): endpoint 173
  // must be found on its own line, not taken from the family line.
  ipc_test::listener l(173);
  ipc_handle c = 0;
  ASSERT_EQ(IPC_iOpen(173, kIpcModeConnect, &c), 0);
  IPC_iClose(c);
  // A dead port behind the live one must not be chosen.
  dir.write_address_file("ADDR_FAMILY=2\n" + line_of(300, l.handle()) + "0000012c=1\n");
  ASSERT_EQ(IPC_iOpen(300, kIpcModeConnect, &c), 0);
  IPC_iClose(c);
  media_test::log_capture log;
  EXPECT_EQ(IPC_iOpen(301, kIpcModeConnect, &c), -8);
  EXPECT_EQ(log.matching("sock connect failure [ErrID=-1]").size(), 1u);
}

TEST(IpcAddressFile, LockedOpenGivesUpAfterItsWaitWhileAnotherProcessHoldsTheLock) {
  ipc_test::ipc_dir dir;
  const std::string path = dir.address_file();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    FILE* f = IPC_pfFlockOpen(path.c_str(), "rb");
    (void)!write(ready[1], "x", 1);
    sleep(5);
    IPC_vFlockClose(f);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  media_test::log_capture log;
  EXPECT_EQ(IPC_pfFlockOpen(path.c_str(), "rb"), nullptr);
  EXPECT_EQ(log.matching("lock failed").size(), 1u);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  FILE* f = IPC_pfFlockOpen(path.c_str(), "rb");
  EXPECT_NE(f, nullptr);
  IPC_vFlockClose(f);
  close(ready[0]);
  close(ready[1]);
}

TEST(IpcAddressFile, ServiceEndClosesItsHandlesAndRemovesTheFile) {
  ipc_test::ipc_dir dir;
  ipc_service_sockets record{};
  ASSERT_EQ(IPC_iOpen(512, kIpcModeListen, &record.handle[0]), 0);
  const int fd = record.handle[0];
  EXPECT_EQ(IPC_iEnd(&record), 0);
  EXPECT_EQ(record.handle[0], 0);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_NE(access(dir.address_file().c_str(), F_OK), 0);
  EXPECT_EQ(IPC_iEnd(nullptr), -3);
}

}  // namespace
