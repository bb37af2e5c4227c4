// The fixed-size notices: each one sent to a listening endpoint, received
// and read back equal; refusals send nothing; malformed ones are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "event/ipc_bytes.h"
#include "event/ipc_notices.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using ipc_test::bytes;

class Notices : public ::testing::Test {
 protected:
  ipc_test::ipc_dir dir_;
  ipc_test::listener service_{512};
  ipc_test::listener peer_{300};
  ipc_test::listener high_{1792};
};

TEST_F(Notices, EveryNoticeReadsBackEqualToWhatWasSent) {
  unsigned char info[kConnectInfoSize];
  for (size_t i = 0; i < sizeof info; ++i) info[i] = static_cast<unsigned char>(i + 1);
  ASSERT_EQ(IPC_iConnectInfoNotify(6, 300, 512, info), 0);
  bytes msg = service_.next();
  ipc_header h;
  unsigned char got_info[kConnectInfoSize];
  ASSERT_EQ(IPC_iGetConnectInfo(msg.data(), msg.size(), &h, got_info), 0);
  EXPECT_EQ(h.type, 6u);
  EXPECT_EQ(h.length, 88u);
  EXPECT_EQ(std::memcmp(got_info, info, sizeof info), 0);

  ASSERT_EQ(IPC_iTimeChangeNotify(300, 512, 0x11223344, 42), 0);
  msg = service_.next();
  uint32_t a = 0, b = 0;
  ASSERT_EQ(IPC_iGetTimeChange(msg.data(), msg.size(), &a, &b), 0);
  EXPECT_EQ(a, 0x11223344u);
  EXPECT_EQ(b, 42u);
  EXPECT_EQ(msg[20], 0x44); // little-endian at offset 20

  // Texts longer than their fields are cut; a null text is an empty one.
  char text[kSubscriptionTextSize];
  for (const char* sent : {"cut", static_cast<const char*>(nullptr)}) {
    const std::string full = sent == nullptr ? "" : std::string(255, 's') + sent;
    ASSERT_EQ(IPC_iSubscriptionControl(300, 512, 9, sent == nullptr ? nullptr : full.c_str()), 0);
    msg = service_.next();
    ASSERT_EQ(IPC_iGetSubscriptionControl(msg.data(), msg.size(), &a, text), 0);
    EXPECT_EQ(a, 9u);
    EXPECT_EQ(text, full.substr(0, 255));
  }
  char short_text[kShortTextSize];
  ASSERT_EQ(IPC_iMediaSynchronization(0xFFFFFFFF, 512, (std::string(64, 'm') + "cut").c_str()), 0);
  msg = service_.next();
  EXPECT_EQ(msg.size(), 85u);
  ASSERT_EQ(IPC_iGetMediaSynchronization(msg.data(), msg.size(), short_text), 0);
  EXPECT_EQ(short_text, std::string(64, 'm'));

  ptz_record ptz;
  for (size_t i = 0; i < sizeof ptz.bytes; ++i) ptz.bytes[i] = static_cast<unsigned char>(i * 3);
  ASSERT_EQ(IPC_iPTZNotify(ptz, "token-1", 1800, 512), 0);
  msg = service_.next();
  ptz_record got_ptz{};
  ASSERT_EQ(IPC_iGetPTZNotify(msg.data(), msg.size(), &got_ptz, short_text), 0);
  EXPECT_EQ(std::memcmp(got_ptz.bytes, ptz.bytes, sizeof ptz.bytes), 0);
  EXPECT_STREQ(short_text, "token-1");
  EXPECT_EQ(msg[916], 0);

  ASSERT_EQ(IPC_iNoParamNotify(5, 300, 512, 77), 0);
  ASSERT_EQ(IPC_iTCPDisconnectionNotify(300, 512, 99), 0);
  for (const auto& [type, param] : {std::pair{5u, 77u}, {14u, 99u}}) {
    msg = service_.next();
    ASSERT_EQ(IPC_iGetHeader(msg.data(), msg.size(), &h), 0);
    EXPECT_EQ(h.type, type);
    EXPECT_EQ(h.param, param);
  }

  char name[kShortTextSize];
  ASSERT_EQ(IPC_iAuthorizerNotify(10, 300, std::string(64, 'n').c_str(), "text"), 0);
  msg = peer_.next();
  ASSERT_EQ(IPC_iGetAuthorizer(msg.data(), msg.size(), name, short_text), 0);
  EXPECT_EQ(name, std::string(64, 'n'));
  EXPECT_STREQ(short_text, "text");
  EXPECT_EQ(ipc_read_header(msg.data()).param, 10u); // the source ID
}

TEST_F(Notices, RefusedNoticesSendNothing) {
  media_test::log_capture log;
  // 1100 is a valid destination class for type 14 but cannot listen; the
  // header passes and only the connection fails.
  EXPECT_NE(IPC_iTCPDisconnectionNotify(300, 1100, 0), 0);
  EXPECT_EQ(IPC_iTCPDisconnectionNotify(300, 700, 0), -1);
  EXPECT_EQ(IPC_iTimeChangeNotify(300, 1792, 1, 2), -1); // 1792 is no type-12 destination
  EXPECT_EQ(IPC_iAuthorizerNotify(10, 300, std::string(65, 'n').c_str(), nullptr), -3);
  EXPECT_EQ(IPC_iAuthorizerNotify(10, 300, nullptr, nullptr), -3);
  EXPECT_EQ(IPC_iMediaSynchronization(300, 512, nullptr), -3);
  EXPECT_EQ(IPC_iConnectInfoNotify(6, 300, 512, nullptr), -3);
  EXPECT_EQ(log.matching("argument error").size(), 1u);
  EXPECT_TRUE(service_.idle());
  EXPECT_TRUE(peer_.idle());
  EXPECT_TRUE(high_.idle());

  // Open failures of the connect-info notice are worded as such.
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
  EXPECT_EQ(IPC_iGetTimeChange(time.data(), 27, &a, &b), -1); // fewer bytes than announced
  bytes other = ipc_test::message(11, 300, 512, 28);
  EXPECT_EQ(IPC_iGetTimeChange(other.data(), other.size(), &a, &b), -1); // wrong type

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
