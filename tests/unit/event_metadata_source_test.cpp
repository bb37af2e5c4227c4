// The metadata data source against an event service played by the test:
// subscription, deliveries turned into units, and the stop at the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/vx_metadata_rtp.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"
#include "stream/rtp_thread.h"

namespace {

using ipc_test::bytes;

// A delivery whose length field announces `announced` payload bytes.
void deliver(const std::string& payload, uint32_t announced) {
  bytes msg = ipc_test::text_message(9, 512, 768, 20, payload, announced);
  msg.resize(24 + payload.size());
  ipc_handle c = 0;
  ASSERT_EQ(IPC_iOpen(768, kIpcModeConnect, &c), 0);
  ASSERT_EQ(IPC_iSend(c, msg.data(), static_cast<uint32_t>(msg.size())), 0);
  IPC_iClose(c);
}

// The whole request the source must send: motion topics, settings 1, 1, 1.
bytes motion_request(uint32_t mode) {
  const std::string text =
      "3:0\ntns1:MotionDetectionEvent\n*\ntns1:Device/tns1:Trigger/tns1:DigitalInput\n*\n"
      "tns1:VideoSource/tns1:MotionAlarm\n*\n";
  bytes msg = ipc_test::text_message(8, 768, 512, 101, text, 113);
  for (const uint32_t offset : {20u, 24u, 28u, 32u}) ipc_put_le32(msg.data(), offset, offset == 20 ? mode : 1);
  std::memcpy(msg.data() + 36, "default.profile", 15);
  return msg;
}

class MetadataSource : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vx_metadata_thread_init(thread_.get()), 0);
    ASSERT_EQ(thread_->init_rtp_header(thread_.get()), 0);
    ASSERT_EQ(thread_->open_data_src(thread_.get()), 0);
    EXPECT_EQ(service_.next(), motion_request(1));
  }
  int get(std::vector<unsigned char>& frame) {
    return thread_->get_data(thread_.get(), frame.data(), static_cast<int>(frame.size()));
  }

  ipc_test::ipc_dir dir_;
  ipc_test::listener service_{512};
  std::unique_ptr<rtp_thread> thread_ = std::make_unique<rtp_thread>();
};

TEST_F(MetadataSource, EachDeliveryIsOneUnitBetweenSubscribeAndUnsubscribe) {
  EXPECT_EQ(thread_->data_size, 32768);
  EXPECT_NE(dir_.read_address_file().find("00000300="), std::string::npos);
  const std::string first = "<tt:MetadataStream>first</tt:MetadataStream>";
  const std::string second(32768 - 24, 'x'); // the largest delivery
  deliver(first, static_cast<uint32_t>(first.size()));
  deliver(second, static_cast<uint32_t>(second.size()));
  deliver("", 0);
  std::vector<unsigned char> frame(32768);
  const std::string* units[] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    const std::string& unit = *units[i];
    const int n = get(frame);
    ASSERT_EQ(n, static_cast<int>(unit.size()));
    EXPECT_EQ(std::string(frame.begin(), frame.begin() + n), unit);
    EXPECT_EQ(thread_->rtp_payload_type, 107);
    EXPECT_EQ(thread_->rtp_timestamp, 45000u * (i + 1));
  }
  // An empty delivery sends nothing but still counts as one.
  EXPECT_EQ(get(frame), 0);
  EXPECT_EQ(thread_->rtp_timestamp, 135000u);
  EXPECT_EQ(thread_->close_data_src(thread_.get()), 0);
  EXPECT_EQ(service_.next(), motion_request(0));
}

TEST_F(MetadataSource, DeliveriesThatDoNotFitOrLieAboutTheirLengthAreDropped) {
  media_test::log_capture log;
  std::vector<unsigned char> frame(64, 0xEE);
  deliver(std::string(100, 'a'), 100);
  EXPECT_EQ(get(frame), 0);
  EXPECT_EQ(log.matching("too few buffer size(64<100)").size(), 1u);
  // The length field promises more than arrived: nothing beyond the message is copied.
  deliver("abc", 40);
  EXPECT_EQ(get(frame), 0);
  EXPECT_EQ(log.matching("invalid delivery length(40>3)").size(), 1u);
  // Too short to carry a length field at all.
  ipc_handle c = 0;
  bytes stub = ipc_test::message(9, 512, 768, 22);
  ASSERT_EQ(IPC_iOpen(768, kIpcModeConnect, &c), 0);
  ASSERT_EQ(IPC_iSend(c, stub.data(), 22), 0);
  IPC_iClose(c);
  EXPECT_EQ(get(frame), 0);
  EXPECT_EQ(frame, std::vector<unsigned char>(64, 0xEE));
  EXPECT_EQ(thread_->rtp_timestamp, 0u);
  thread_->close_data_src(thread_.get());
}

TEST_F(MetadataSource, ChannelErrorsAreFailedReadsAndSilenceIsNothingToSend) {
  std::vector<unsigned char> frame(32768);
  // The next read waits its full five seconds and then has nothing.
  EXPECT_EQ(get(frame), 0);
  media_test::log_capture log;
  // Written raw: IPC_iSend would refuse the header.
  ASSERT_EQ(ipc_test::send_to(768, ipc_test::message(9, 511, 768, 24)), 0);
  EXPECT_EQ(get(frame), -1);
  EXPECT_EQ(log.matching("iReceive error(ret=-1)").size(), 1u);
  thread_->close_data_src(thread_.get());
}

TEST(MetadataSourceStart, RetriesUntilTheEventServiceListens) {
  ipc_test::ipc_dir dir;
  rtp_thread t;
  vx_metadata_thread_init(&t);
  t.init_rtp_header(&t);
  media_test::log_capture log;
  std::unique_ptr<ipc_test::listener> service;
  std::thread late([&service] {
    usleep(1500 * 1000);
    service = std::make_unique<ipc_test::listener>(512);
  });
  EXPECT_EQ(t.open_data_src(&t), 0);
  late.join();
  const size_t failures = log.matching("vx_metadata_rtp : ").size();
  EXPECT_GE(failures, 1u);
  EXPECT_EQ(log.matching("iMetadataControl error(ret=-1)").size(), failures);
  EXPECT_EQ(service->next(), motion_request(1));
  EXPECT_TRUE(service->idle()) << "exactly one start request";
  t.close_data_src(&t);
}

}  // namespace
