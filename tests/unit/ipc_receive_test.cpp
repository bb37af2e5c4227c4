// A receiving endpoint under good and bad peers: whatever a local process
// sends, the receiver returns a code, never writes past its capacity and
// never waits longer than its documented bounds.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using ipc_test::bytes;

class IpcReceive : public ::testing::Test {
 protected:
  ipc_test::ipc_dir dir_;
  ipc_test::listener endpoint_{768};
  ipc_handle h() const { return endpoint_.handle(); }
};

bytes delivery(uint32_t length, uint32_t announced) {
  bytes msg = ipc_test::message(9, 512, 768, length);
  for (uint32_t i = 20; i < length; ++i) msg[i] = static_cast<unsigned char>(i * 7);
  ipc_put_le32(msg.data(), kIpcOffLength, announced);
  return msg;
}

bytes part(const bytes& msg, size_t from, size_t to) { return bytes(msg.begin() + from, msg.begin() + to); }

TEST_F(IpcReceive, EveryPeerGetsItsCodeAndNothingIsWrittenPastTheCapacity) {
  const bytes good = delivery(64, 64);
  const bytes header_only = part(delivery(100, 100), 0, 20);
  const int silent = kIpcTransferTimeoutMs + 500; // longer than the receiver may wait
  struct peer_case {
    const char* name;
    std::vector<bytes> pieces;
    int result;
    const char* logged = nullptr;
    uint32_t capacity = kIpcMaxMessage;
    int pause_ms = 0;
    int linger_ms = 0;
  };
  const std::vector<peer_case> cases = {
      {"header in pieces smaller than itself", {part(good, 0, 3), part(good, 3, 11), part(good, 11, 19),
                                                 part(good, 19, 64)}, 0, nullptr, kIpcMaxMessage, 20},
      {"120 bytes where 100 are announced", {delivery(120, 100)}, -9, "Receive Size over [recv=120][expect=100] "},
      {"40000 announced and sent", {delivery(40000, 40000)}, -11, "receive failure [length=40000l][Max=32768i]"},
      {"closed at once", {}, -11, "receive failure [length=0l][Max=32768i]"},
      {"fewer bytes than a header", {bytes(10, 1)}, -9, "DISCONNECT IPC"},
      {"header announcing more than arrives", {header_only}, -9},
      {"header announcing less than itself", {delivery(20, 10)}, -9},
      {"header announcing nothing", {delivery(20, 0)}, -9},
      {"capacity smaller than a header", {good}, -11, nullptr, 12},
      {"half a header, then silence", {bytes(8, 0)}, -9, "sock recv failure", kIpcMaxMessage, 0, silent},
      {"connected and silent", {}, -9, nullptr, kIpcMaxMessage, 0, silent},
      {"header from a source that may not send it", {ipc_test::message(9, 511, 768, 24)}, -1, "ID is invalid"},
  };
  for (const peer_case& c : cases) {
    SCOPED_TRACE(c.name);
    media_test::log_capture log;
    bytes buffer(c.capacity + 64, 0xAB);
    uint32_t length = 0;
    {
      ipc_test::raw_peer peer(h(), c.pieces, c.pause_ms, c.linger_ms);
      ASSERT_EQ(IPC_iSelect(h(), 3000), 0);
      EXPECT_EQ(IPC_iReceive(h(), buffer.data(), &length, c.capacity), c.result);
    }
    EXPECT_EQ(part(buffer, c.capacity, buffer.size()), bytes(64, 0xAB));
    if (c.result == 0) {
      EXPECT_EQ(length, c.capacity) << "the length out-parameter is the capacity";
      EXPECT_EQ(part(buffer, 0, good.size()), good);
    }
    if (c.logged != nullptr) {
      EXPECT_EQ(log.matching(c.logged).size(), 1u);
    }
  }
}

TEST_F(IpcReceive, LargestMessageFromAConnectingEndpointArrivesIntact) {
  bytes sent = delivery(32768, 0);
  ipc_handle c = 0;
  ASSERT_EQ(IPC_iOpen(768, kIpcModeConnect, &c), 0);
  ASSERT_EQ(IPC_iSend(c, sent.data(), 32768), 0);
  IPC_iClose(c);
  ipc_put_le32(sent.data(), kIpcOffLength, 32768); // written by the sender
  EXPECT_EQ(endpoint_.next(), sent);
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
  bytes msg = ipc_test::message(8, 768, 512, 0);
  msg.resize(300);
  EXPECT_EQ(IPC_iSend(c, msg.data(), 300), 0);
  IPC_iClose(c);
  msg[16] = 0x2C;
  msg[17] = 0x01;
  EXPECT_EQ(service.next(), msg);

  dir.write_address_file("ADDR_FAMILY=2\n");
  EXPECT_EQ(IPC_iOpen(512, kIpcModeConnect, &c), -8);
}

}  // namespace
