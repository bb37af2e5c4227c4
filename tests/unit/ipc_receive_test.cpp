// A receiving endpoint under good and bad peers: whatever a local process
// sends, the receiver returns a code, never overruns its buffer and never
// waits longer than its documented bounds.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using bytes = std::vector<unsigned char>;

class IpcReceive : public ::testing::Test {
 protected:
  ipc_test::ipc_dir dir_;
  ipc_test::listener endpoint_{768};
  ipc_handle h() const { return endpoint_.handle(); }
};

bytes delivery(uint32_t length) {
  bytes msg = ipc_test::message(9, 512, 768, length);
  for (uint32_t i = 20; i < length; ++i) msg[i] = static_cast<unsigned char>(i * 7);
  return msg;
}

TEST_F(IpcReceive, WholeMessagesArriveIntactFromConnectingEndpointsAndRawPeers) {
  ipc_handle c = 0;
  ASSERT_EQ(IPC_iOpen(768, kIpcModeConnect, &c), 0);
  bytes sent = delivery(32768);
  ASSERT_EQ(IPC_iSend(c, sent.data(), 32768), 0);
  IPC_iClose(c);
  bytes got;
  ASSERT_EQ(ipc_test::receive(h(), &got), 0);
  EXPECT_EQ(got, sent);

  // A header that arrives in pieces smaller than itself is still read to the end.
  const bytes msg = delivery(64);
  {
    ipc_test::raw_peer peer(h(), {bytes(msg.begin(), msg.begin() + 3), bytes(msg.begin() + 3, msg.begin() + 11),
                                  bytes(msg.begin() + 11, msg.begin() + 19), bytes(msg.begin() + 19, msg.end())},
                            20);
    ASSERT_EQ(ipc_test::receive(h(), &got), 0);
  }
  EXPECT_EQ(got, msg);

  // The length out-parameter is the capacity, not the message's length.
  ipc_test::raw_peer peer(h(), {msg});
  ASSERT_EQ(IPC_iSelect(h(), 2000), 0);
  bytes buffer(1000);
  uint32_t length = 0;
  EXPECT_EQ(IPC_iReceive(h(), buffer.data(), &length, 1000), 0);
  EXPECT_EQ(length, 1000u);
}

TEST_F(IpcReceive, SurplusBytesBeyondTheAnnouncedLengthAreRefused) {
  media_test::log_capture log;
  bytes msg = delivery(120);
  ipc_put_le32(msg.data(), 16, 100);
  ipc_test::raw_peer peer(h(), {msg});
  bytes got;
  EXPECT_EQ(ipc_test::receive(h(), &got), -9);
  EXPECT_EQ(log.matching("Receive Size over [recv=120][expect=100] ").size(), 1u);
}

TEST_F(IpcReceive, AnnouncedLengthAboveCapacityIsReadOnlyUpToTheCapacity) {
  media_test::log_capture log;
  bytes msg = delivery(40000);
  ipc_test::raw_peer peer(h(), {msg});
  // Guard bytes after the capacity show that nothing is written past it.
  bytes buffer(32768 + 64, 0xAB);
  ASSERT_EQ(IPC_iSelect(h(), 3000), 0);
  uint32_t length = 0;
  EXPECT_EQ(IPC_iReceive(h(), buffer.data(), &length, 32768), -11);
  for (size_t i = 32768; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xAB) << i;
  EXPECT_EQ(log.matching("receive failure [length=40000l][Max=32768i]").size(), 1u);
}

TEST_F(IpcReceive, ShortOrEmptyOrAbortedMessagesGiveTheirCodes) {
  bytes got;
  {
    media_test::log_capture log;
    ipc_test::raw_peer closed_at_once(h(), {});
    EXPECT_EQ(ipc_test::receive(h(), &got), -11);
    EXPECT_EQ(log.matching("DISCONNECT IPC").size(), 1u);
    EXPECT_EQ(log.matching("receive failure [length=0l][Max=32768i]").size(), 1u);
  }
  {
    // Fewer bytes than a header, then the peer leaves.
    ipc_test::raw_peer peer(h(), {bytes(10, 1)});
    EXPECT_EQ(ipc_test::receive(h(), &got), -9);
  }
  {
    // A whole header announcing more than ever arrives.
    bytes header = ipc_test::message(9, 512, 768, 100);
    header.resize(20);
    ipc_test::raw_peer peer(h(), {header});
    EXPECT_EQ(ipc_test::receive(h(), &got), -9);
  }
  {
    // A header announcing fewer bytes than the header itself.
    ipc_test::raw_peer peer(h(), {ipc_test::message(9, 512, 768, 10)});
    EXPECT_EQ(ipc_test::receive(h(), &got), -9);
  }
  {
    // A header announcing no bytes at all.
    ipc_test::raw_peer peer(h(), {ipc_test::message(9, 512, 768, 0)});
    EXPECT_EQ(ipc_test::receive(h(), &got), -9);
  }
  {
    // A capacity too small for a header.
    ipc_test::raw_peer peer(h(), {delivery(64)});
    EXPECT_EQ(ipc_test::receive(h(), &got, 12), -11);
  }
}

TEST_F(IpcReceive, SilentPeerCostsAtMostTheTransferTimeout) {
  media_test::log_capture log;
  const auto start = std::chrono::steady_clock::now();
  {
    // Connects, sends half a header, then neither sends nor closes for longer
    // than the receiver may wait.
    ipc_test::raw_peer peer(h(), {bytes(8, 0)}, 0, kIpcTransferTimeoutMs + 500);
    bytes got;
    EXPECT_EQ(ipc_test::receive(h(), &got), -9);
    EXPECT_EQ(log.matching("sock recv failure").size(), 1u);
  }
  {
    ipc_test::raw_peer peer(h(), {}, 0, kIpcTransferTimeoutMs + 500);
    bytes got;
    EXPECT_EQ(ipc_test::receive(h(), &got), -9);
  }
  // The bound itself: the test would hang without it, so only a generous
  // sanity check of the elapsed time (no fine timing).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(IpcReceive, InvalidHeadersAreReadThenRefused) {
  media_test::log_capture log;
  ipc_test::raw_peer peer(h(), {ipc_test::message(9, 511, 768, 24)});
  bytes got;
  EXPECT_EQ(ipc_test::receive(h(), &got), -1);
  EXPECT_EQ(log.matching("ID is invalid").size(), 1u);
}

TEST_F(IpcReceive, NothingPendingAndBadHandlesAreReportedNotWaitedOn) {
  bytes buffer(64);
  uint32_t length = 0;
  EXPECT_EQ(IPC_iReceive(h(), buffer.data(), &length, 64), -12);
  EXPECT_EQ(IPC_iSelect(h(), 50), -12);
  EXPECT_EQ(IPC_iSelect(0, 50), -3);
  EXPECT_EQ(IPC_iReceive(0, buffer.data(), &length, 64), -3);
  EXPECT_EQ(IPC_iClose(0), -7);
  // A descriptor far above what select could watch is handled safely.
  const int high = fcntl(h(), F_DUPFD_CLOEXEC, 2000);
  if (high >= 0) {
    EXPECT_EQ(IPC_iSelect(static_cast<ipc_handle>(high), 10), -12);
    close(high);
  }
}

TEST(IpcSend, RefusedHeadersAndMissingPeersSendNothing) {
  ipc_test::ipc_dir dir;
  ipc_test::listener service(512);
  ipc_handle c = 0;
  ASSERT_EQ(IPC_iOpen(512, kIpcModeConnect, &c), 0);
  bytes bad = ipc_test::message(8, 700, 512, 32);
  EXPECT_EQ(IPC_iSend(c, bad.data(), 32), -1);
  bytes tiny(8, 0);
  EXPECT_EQ(IPC_iSend(c, tiny.data(), 8), -3);
  EXPECT_EQ(IPC_iSend(c, nullptr, 32), -3);
  IPC_iClose(c);
  // The connection carried nothing: the receiver sees an empty one.
  bytes got;
  EXPECT_EQ(ipc_test::receive(service.handle(), &got), -11);

  // The length word is always written by the sender, least significant byte first.
  ASSERT_EQ(IPC_iOpen(512, kIpcModeConnect, &c), 0);
  bytes msg = ipc_test::message(8, 768, 512, 300);
  msg.resize(300);
  EXPECT_EQ(IPC_iSend(c, msg.data(), 300), 0);
  IPC_iClose(c);
  ASSERT_EQ(ipc_test::receive(service.handle(), &got), 0);
  EXPECT_EQ(got[16], 0x2C);
  EXPECT_EQ(got[17], 0x01);

  dir.write_address_file("ADDR_FAMILY=2\n");
  EXPECT_EQ(IPC_iOpen(512, kIpcModeConnect, &c), -8);
}

}  // namespace
