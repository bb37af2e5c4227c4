// Handing an open descriptor to another process.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "event/ipc_fdpass.h"
#include "handoff.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

TEST(IpcFdPass, DescriptorReachesTheOtherProcessAndStillWorks) {
  ipc_test::ipc_dir dir(0);
  const std::string socket_path = dir.path() + "/OnvifScmRights";
  int listen_sock = -1;
  ASSERT_EQ(IPC_iUDOpen(kIpcUDListen, &listen_sock), 0);
  EXPECT_EQ(access(socket_path.c_str(), F_OK), 0);
  int data[2];
  ASSERT_EQ(pipe(data), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int sock = -1;
    int fd = -1;
    const char text[] = "through the passed pipe";
    const bool ok = IPC_iUDOpen(kIpcUDConnect, &sock) == 0 && IPC_iUDReceiveFD(sock, &fd) == 0 &&
                    write(fd, text, sizeof text) == static_cast<ssize_t>(sizeof text);
    _exit(ok ? 0 : 1);
  }
  EXPECT_EQ(IPC_iUDSendFD(listen_sock, data[1], 5000), 0);
  close(data[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  char got[64] = {};
  EXPECT_GT(read(data[0], got, sizeof got), 0);
  EXPECT_STREQ(got, "through the passed pipe");
  close(data[0]);
  EXPECT_EQ(IPC_iUDClose(kIpcUDListen, listen_sock), 0);
  EXPECT_NE(access(socket_path.c_str(), F_OK), 0);
}

TEST(IpcFdPass, MissingPeersTimeOutAndBadArgumentsAreRefused) {
  ipc_test::ipc_dir dir(0);
  media_test::log_capture log;
  int listen_sock = -1;
  ASSERT_EQ(IPC_iUDOpen(kIpcUDListen, &listen_sock), 0);
  EXPECT_EQ(IPC_iUDSendFD(listen_sock, 1, 100), -13);
  EXPECT_EQ(log.matching("FD Trans timeout (not connected)").size(), 1u);
  // A peer that connects but never hands anything over.
  int sock = -1;
  ASSERT_EQ(IPC_iUDOpen(kIpcUDConnect, &sock), 0);
  int fd = -1;
  EXPECT_EQ(IPC_iUDReceiveFD(sock, &fd), -13);
  EXPECT_EQ(log.matching("FD Trans timeout (not received)").size(), 1u);
  EXPECT_EQ(fd, -1);

  for (const int refused : {IPC_iUDOpen(2, &sock), IPC_iUDOpen(kIpcUDListen, nullptr), IPC_iUDSendFD(-1, 1, 10),
                            IPC_iUDSendFD(listen_sock, -1, 10), IPC_iUDSendFD(listen_sock, 1, -1),
                            IPC_iUDReceiveFD(-1, &fd), IPC_iUDReceiveFD(sock, nullptr), IPC_iUDClose(2, sock)}) {
    EXPECT_EQ(refused, -1);
  }
  EXPECT_EQ(IPC_iUDClose(kIpcUDConnect, sock), 0);
  EXPECT_EQ(IPC_iUDClose(kIpcUDListen, listen_sock), 0);
}

TEST(IpcFdPass, WrongGreetingIsNotTakenForAHandOverAndItsDescriptorIsNotLeaked) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  int carried[2];
  ASSERT_EQ(pipe(carried), 0);
  ASSERT_EQ(pass_descriptor(pair[0], carried[1], "NotOK"), 0);
  close(carried[1]);
  int fd = -1;
  EXPECT_EQ(IPC_iUDReceiveFD(pair[1], &fd), -13);
  // Every write end is closed, so the read end sees the end of the pipe.
  char byte;
  EXPECT_EQ(read(carried[0], &byte, 1), 0);
  for (const int open_fd : {carried[0], pair[0], pair[1]}) close(open_fd);
}

}  // namespace
