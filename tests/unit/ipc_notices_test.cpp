// The fixed-size notices: each one sent to a listening endpoint, received
// and read back equal; refusals send nothing; malformed ones are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/ipc_notices.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using bytes = std::vector<unsigned char>;

class Notices : public ::testing::Test {
 protected:
  ipc_test::ipc_dir dir_;
  ipc_test::listener service_{512};
  ipc_test::listener peer_{300};
  ipc_test::listener high_{1792};

  bytes receive(const ipc_test::listener& at) {
    bytes got;
    EXPECT_EQ(ipc_test::receive(at.handle(), &got), 0);
    return got;
  }
  bool nothing_sent(const ipc_test::listener& at) { return !ipc_test::pending(at.handle(), 200); }
};

TEST_F(Notices, EveryNoticeReadsBackEqualToWhatWasSent) {
  unsigned char info[kConnectInfoSize];
  for (size_t i = 0; i < sizeof info; ++i) info[i] = static_cast<unsigned char>(i + 1);
  ASSERT_EQ(IPC_iConnectInfoNotify(6, 300, 512, info), 0);
  bytes msg = receive(service_);
  ipc_header h;
  unsigned char got_info[kConnectInfoSize];
  ASSERT_EQ(IPC_iGetConnectInfo(msg.data(), msg.size(), &h, got_info), 0);
  EXPECT_EQ(h.type, 6u);
  EXPECT_EQ(h.length, 88u);
  EXPECT_EQ(std::memcmp(got_info, info, sizeof info), 0);

  ASSERT_EQ(IPC_iTimeChangeNotify(300, 512, 0x11223344, 42), 0);
  msg = receive(service_);
  uint32_t a = 0, b = 0;
  ASSERT_EQ(IPC_iGetTimeChange(msg.data(), msg.size(), &a, &b), 0);
  EXPECT_EQ(a, 0x11223344u);
  EXPECT_EQ(b, 42u);
  EXPECT_EQ(msg[20], 0x44); // little-endian at offset 20

  const std::string sub_text(255, 's');
  ASSERT_EQ(IPC_iSubscriptionControl(300, 512, 9, (sub_text + "cut").c_str()), 0);
  msg = receive(service_);
  uint32_t value = 0;
  char text[kSubscriptionTextSize];
  ASSERT_EQ(IPC_iGetSubscriptionControl(msg.data(), msg.size(), &value, text), 0);
  EXPECT_EQ(value, 9u);
  EXPECT_EQ(text, sub_text);
  ASSERT_EQ(IPC_iSubscriptionControl(300, 512, 1, nullptr), 0);
  msg = receive(service_);
  ASSERT_EQ(IPC_iGetSubscriptionControl(msg.data(), msg.size(), &value, text), 0);
  EXPECT_STREQ(text, "");

  char short_text[kShortTextSize];
  ASSERT_EQ(IPC_iMediaSynchronization(0xFFFFFFFF, 512, (std::string(64, 'm') + "cut").c_str()), 0);
  msg = receive(service_);
  EXPECT_EQ(msg.size(), 85u);
  ASSERT_EQ(IPC_iGetMediaSynchronization(msg.data(), msg.size(), short_text), 0);
  EXPECT_EQ(short_text, std::string(64, 'm'));

  ptz_record ptz;
  for (size_t i = 0; i < sizeof ptz.bytes; ++i) ptz.bytes[i] = static_cast<unsigned char>(i * 3);
  ASSERT_EQ(IPC_iPTZNotify(ptz, "token-1", 1800, 512), 0);
  msg = receive(service_);
  ptz_record got_ptz{};
  ASSERT_EQ(IPC_iGetPTZNotify(msg.data(), msg.size(), &got_ptz, short_text), 0);
  EXPECT_EQ(std::memcmp(got_ptz.bytes, ptz.bytes, sizeof ptz.bytes), 0);
  EXPECT_STREQ(short_text, "token-1");
  EXPECT_EQ(msg[916], 0);

  ASSERT_EQ(IPC_iNoParamNotify(5, 300, 512, 77), 0);
  msg = receive(service_);
  ASSERT_EQ(IPC_iGetHeader(msg.data(), msg.size(), &h), 0);
  EXPECT_EQ(h.type, 5u);
  EXPECT_EQ(h.param, 77u);

  ASSERT_EQ(IPC_iTCPDisconnectionNotify(300, 512, 99), 0);
  msg = receive(service_);
  ASSERT_EQ(IPC_iGetHeader(msg.data(), msg.size(), &h), 0);
  EXPECT_EQ(h.type, 14u);
  EXPECT_EQ(h.param, 99u);

  char name[kShortTextSize];
  ASSERT_EQ(IPC_iAuthorizerNotify(10, 300, std::string(64, 'n').c_str(), "text"), 0);
  msg = receive(peer_);
  ASSERT_EQ(IPC_iGetAuthorizer(msg.data(), msg.size(), name, short_text), 0);
  EXPECT_EQ(name, std::string(64, 'n'));
  EXPECT_STREQ(short_text, "text");
  EXPECT_EQ(ipc_read_header(msg.data()).param, 10u); // the source ID
}

TEST_F(Notices, ValidationDecidesBeforeAnythingIsSent) {
  // 1100 is a valid destination class for type 14 but cannot listen; the
  // header passes and only the connection fails.
  EXPECT_NE(IPC_iTCPDisconnectionNotify(300, 1100, 0), 0);
  EXPECT_EQ(IPC_iTCPDisconnectionNotify(300, 700, 0), -1);
  EXPECT_EQ(IPC_iTimeChangeNotify(300, 1792, 1, 2), -1); // 1792 is no type-12 destination
  EXPECT_TRUE(nothing_sent(service_));
  EXPECT_TRUE(nothing_sent(high_));
}

TEST_F(Notices, BadArgumentsSendNothing) {
  media_test::log_capture log;
  EXPECT_EQ(IPC_iAuthorizerNotify(10, 300, std::string(65, 'n').c_str(), nullptr), -3);
  EXPECT_EQ(IPC_iAuthorizerNotify(10, 300, nullptr, nullptr), -3);
  EXPECT_EQ(IPC_iMediaSynchronization(300, 512, nullptr), -3);
  EXPECT_EQ(IPC_iConnectInfoNotify(6, 300, 512, nullptr), -3);
  EXPECT_EQ(log.matching("argument error").size(), 1u);
  EXPECT_TRUE(nothing_sent(service_));
  EXPECT_TRUE(nothing_sent(peer_));

  // Open and send failures of the connect-info notice are worded as such.
  dir_.write_address_file("ADDR_FAMILY=2\n");
  unsigned char info[kConnectInfoSize] = {};
  EXPECT_EQ(IPC_iConnectInfoNotify(6, 300, 512, info), -8);
  EXPECT_EQ(log.matching("ipc open failure [-8]").size(), 1u);
}

TEST(NoticeParse, WrongShapesAndUnterminatedTextsAreRefused) {
  char text[kSubscriptionTextSize];
  char name[kShortTextSize];
  uint32_t a = 0, b = 0;
  bytes time = ipc_test::message(12, 300, 512, 28);
  EXPECT_EQ(IPC_iGetTimeChange(time.data(), time.size(), &a, &b), 0);
  EXPECT_EQ(IPC_iGetTimeChange(time.data(), 27, &a, &b), -1);    // fewer bytes than announced
  bytes other = ipc_test::message(11, 300, 512, 28);
  EXPECT_EQ(IPC_iGetTimeChange(other.data(), other.size(), &a, &b), -1);   // wrong type

  bytes sync = ipc_test::message(7, 300, 512, 85);
  std::memset(sync.data() + 20, 'x', 65);
  EXPECT_EQ(IPC_iGetMediaSynchronization(sync.data(), sync.size(), name), -1);
  bytes auth = ipc_test::message(15, 10, 300, 150);
  std::memset(auth.data() + 85, 'x', 65);
  EXPECT_EQ(IPC_iGetAuthorizer(auth.data(), auth.size(), name, text), -1);
  bytes ptz = ipc_test::message(13, 300, 512, 917);
  std::memset(ptz.data() + 852, 'x', 65);
  ptz_record record;
  EXPECT_EQ(IPC_iGetPTZNotify(ptz.data(), ptz.size(), &record, name), -1);
  ipc_header h;
  EXPECT_EQ(IPC_iGetHeader(ptz.data(), ptz.size(), &h), -1);
}

}  // namespace
