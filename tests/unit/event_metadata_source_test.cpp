// The metadata data source against an event service played by the test:
// subscription, deliveries turned into units, and the stop at the end.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/metadata_control.h"
#include "event/vx_metadata_rtp.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"
#include "stream/rtp_thread.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes delivery(const std::string& payload, uint32_t announced) {
  bytes msg = ipc_test::message(9, 512, 768, static_cast<uint32_t>(24 + payload.size()));
  ipc_put_le32(msg.data(), 20, announced);
  std::memcpy(msg.data() + 24, payload.data(), payload.size());
  return msg;
}

void deliver(bytes msg) {
  ipc_handle c = 0;
  ASSERT_EQ(IPC_iOpen(768, kIpcModeConnect, &c), 0);
  ASSERT_EQ(IPC_iSend(c, msg.data(), static_cast<uint32_t>(msg.size())), 0);
  IPC_iClose(c);
}

class MetadataSource : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_ = std::make_unique<rtp_thread>();
    ASSERT_EQ(vx_metadata_thread_init(thread_.get()), 0);
    ASSERT_EQ(thread_->init_rtp_header(thread_.get()), 0);
  }

  // Receives one request at the service and reads it back.
  void expect_request(uint32_t mode) {
    bytes msg;
    ASSERT_EQ(ipc_test::receive(service_.handle(), &msg), 0);
    metadata_request request{};
    metadata_filter filter{};
    uint32_t got_mode = 9;
    ASSERT_EQ(IPC_iMakeMetadataFilterStructFromMsg(msg.data(), msg.size(), &request, &filter, &got_mode), 0);
    EXPECT_EQ(got_mode, mode);
    EXPECT_EQ(ipc_read_header(msg.data()).source_id, 768u);
    EXPECT_STREQ(request.profile, "default.profile");
    EXPECT_EQ(request.setting1 + request.setting2 + request.setting3, 3u);
    EXPECT_EQ(ipc_get_le32(msg.data(), 101), 113u);
    ASSERT_EQ(filter.topic_count, 3);
    EXPECT_STREQ(filter.topics[0]->topic, "tns1:MotionDetectionEvent");
    EXPECT_STREQ(filter.topics[1]->topic, "tns1:Device/tns1:Trigger/tns1:DigitalInput");
    EXPECT_STREQ(filter.topics[2]->topic, "tns1:VideoSource/tns1:MotionAlarm");
    for (int i = 0; i < 3; ++i) EXPECT_STREQ(filter.topics[i]->value, "*");
    EXPECT_EQ(filter.item_count, 0);
    IPC_iFreeMetadataFilter(&filter);
  }

  ipc_test::ipc_dir dir_;
  ipc_test::listener service_{512};
  std::unique_ptr<rtp_thread> thread_;
};

TEST_F(MetadataSource, SubscribesThenListensAndUnsubscribesWithTheSameTopics) {
  ASSERT_EQ(thread_->open_data_src(thread_.get()), 0);
  EXPECT_EQ(thread_->data_size, 32768);
  expect_request(1);
  EXPECT_NE(dir_.read_address_file().find("00000300="), std::string::npos);
  EXPECT_EQ(thread_->close_data_src(thread_.get()), 0);
  expect_request(0);
}

TEST_F(MetadataSource, EachDeliveryIsOneUnitWithTimestampsAdvancingBy45000) {
  ASSERT_EQ(thread_->open_data_src(thread_.get()), 0);
  expect_request(1);
  const std::string first = "<tt:MetadataStream>first</tt:MetadataStream>";
  const std::string second(32768 - 24, 'x'); // the largest delivery
  deliver(delivery(first, static_cast<uint32_t>(first.size())));
  deliver(delivery(second, static_cast<uint32_t>(second.size())));

  std::vector<unsigned char> frame(32768);
  int n = thread_->get_data(thread_.get(), frame.data(), 32768);
  ASSERT_EQ(n, static_cast<int>(first.size()));
  EXPECT_EQ(std::string(frame.begin(), frame.begin() + n), first);
  EXPECT_EQ(thread_->rtp_timestamp, 45000u);
  EXPECT_EQ(thread_->rtp_payload_type, 107);
  n = thread_->get_data(thread_.get(), frame.data(), 32768);
  ASSERT_EQ(n, static_cast<int>(second.size()));
  EXPECT_EQ(std::string(frame.begin(), frame.begin() + n), second);
  EXPECT_EQ(thread_->rtp_timestamp, 90000u);

  // An empty delivery sends nothing but still counts as one.
  deliver(delivery("", 0));
  EXPECT_EQ(thread_->get_data(thread_.get(), frame.data(), 32768), 0);
  EXPECT_EQ(thread_->rtp_timestamp, 135000u);
  thread_->close_data_src(thread_.get());
}

TEST_F(MetadataSource, DeliveriesThatDoNotFitOrLieAboutTheirLengthAreDropped) {
  ASSERT_EQ(thread_->open_data_src(thread_.get()), 0);
  expect_request(1);
  media_test::log_capture log;
  std::vector<unsigned char> frame(64, 0xEE);
  deliver(delivery(std::string(100, 'a'), 100));
  EXPECT_EQ(thread_->get_data(thread_.get(), frame.data(), 64), 0);
  EXPECT_EQ(log.matching("too few buffer size(64<100)").size(), 1u);

  // The length field promises more than arrived: nothing beyond the message is copied.
  deliver(delivery("abc", 40));
  EXPECT_EQ(thread_->get_data(thread_.get(), frame.data(), 64), 0);
  EXPECT_EQ(log.matching("invalid delivery length(40>3)").size(), 1u);
  // Too short to carry a length field at all.
  bytes stub = ipc_test::message(9, 512, 768, 22);
  deliver(stub);
  EXPECT_EQ(thread_->get_data(thread_.get(), frame.data(), 64), 0);
  for (const unsigned char b : frame) ASSERT_EQ(b, 0xEE);
  EXPECT_EQ(thread_->rtp_timestamp, 0u);

  thread_->close_data_src(thread_.get());
  expect_request(0);
}

TEST_F(MetadataSource, ChannelErrorsAreFailedReadsAndSilenceIsNothingToSend) {
  ASSERT_EQ(thread_->open_data_src(thread_.get()), 0);
  expect_request(1);
  std::vector<unsigned char> frame(32768);
  // The next read waits its full five seconds and then has nothing.
  EXPECT_EQ(thread_->get_data(thread_.get(), frame.data(), 32768), 0);
  {
    media_test::log_capture log;
    bytes bad = ipc_test::message(9, 511, 768, 24);
    ipc_handle c = 0;
    ASSERT_EQ(IPC_iOpen(768, kIpcModeConnect, &c), 0);
    // Written raw: IPC_iSend would refuse the header.
    ASSERT_EQ(send(c, bad.data(), bad.size(), 0), 24);
    IPC_iClose(c);
    EXPECT_EQ(thread_->get_data(thread_.get(), frame.data(), 32768), -1);
    EXPECT_EQ(log.matching("iReceive error(ret=-1)").size(), 1u);
  }
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
  EXPECT_TRUE(log.matching("open timeout").empty());
  bytes msg;
  EXPECT_EQ(ipc_test::receive(service->handle(), &msg), 0);
  EXPECT_FALSE(ipc_test::pending(service->handle(), 200)); // exactly one start request
  t.close_data_src(&t);
}

}  // namespace
