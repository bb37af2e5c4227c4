// The metadata control request: its exact bytes on the wire, the limits on
// what it carries, and the receiving side reading it back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/metadata_control.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using bytes = std::vector<unsigned char>;

// A request and filter owning their topic entries and items.
struct subscription {
  metadata_request request{};
  std::vector<topic_entry> entries;
  std::vector<topic_entry*> topic_ptrs;
  std::vector<std::string> item_texts;
  std::vector<char*> item_ptrs;
  metadata_filter filter{};

  subscription(std::vector<std::pair<std::string, std::string>> topics, std::vector<std::string> items,
               const char* profile = "default.profile") {
    request.setting1 = 1;
    request.setting2 = 2;
    request.setting3 = 3;
    std::snprintf(request.profile, sizeof request.profile, "%s", profile);
    entries.resize(topics.size());
    for (size_t i = 0; i < topics.size(); ++i) {
      std::memset(&entries[i], 0, sizeof entries[i]);
      std::snprintf(entries[i].topic, sizeof entries[i].topic, "%s", topics[i].first.c_str());
      std::snprintf(entries[i].value, sizeof entries[i].value, "%s", topics[i].second.c_str());
      topic_ptrs.push_back(&entries[i]);
    }
    item_texts = std::move(items);
    for (std::string& s : item_texts) item_ptrs.push_back(s.data());
    filter.topics = topic_ptrs.data();
    filter.topic_count = static_cast<int32_t>(topic_ptrs.size());
    filter.items = item_ptrs.data();
    filter.item_count = static_cast<int32_t>(item_ptrs.size());
  }
};

const std::vector<std::pair<std::string, std::string>> kMotionTopics = {
    {"tns1:MotionDetectionEvent", "*"},
    {"tns1:Device/tns1:Trigger/tns1:DigitalInput", "*"},
    {"tns1:VideoSource/tns1:MotionAlarm", "*"},
};

class MetadataControl : public ::testing::Test {
 protected:
  ipc_test::ipc_dir dir_;
  ipc_test::listener service_{512};

  int send(const subscription& s, uint32_t mode = 1, uint32_t source = 768) {
    return IPC_iMetadataControl(&s.request, &s.filter, mode, source, 512);
  }
  bytes receive() {
    bytes got;
    EXPECT_EQ(ipc_test::receive(service_.handle(), &got), 0);
    return got;
  }
  bool nothing_sent() { return !ipc_test::pending(service_.handle(), 200); }
};

std::string text_of(const bytes& msg) {
  const uint32_t n = ipc_get_le32(msg.data(), 101);
  return std::string(reinterpret_cast<const char*>(msg.data()) + 105, n);
}

TEST_F(MetadataControl, StartRequestHasItsExactLayoutAnd113ByteText) {
  subscription s(kMotionTopics, {});
  ASSERT_EQ(send(s), 0);
  const bytes msg = receive();
  ASSERT_EQ(msg.size(), 32768u);
  const ipc_header h = ipc_read_header(msg.data());
  EXPECT_EQ(h.type, 8u);
  EXPECT_EQ(h.source_id, 768u);
  EXPECT_EQ(h.dest_id, 512u);
  EXPECT_EQ(h.param, 0u);
  EXPECT_EQ(h.length, 32768u);
  EXPECT_EQ(ipc_get_le32(msg.data(), 20), 1u);
  EXPECT_EQ(ipc_get_le32(msg.data(), 24), 1u);
  EXPECT_EQ(ipc_get_le32(msg.data(), 28), 2u);
  EXPECT_EQ(ipc_get_le32(msg.data(), 32), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(msg.data()) + 36), "default.profile");
  EXPECT_EQ(msg[100], 0);
  // The text length starts at the odd offset 101, least significant byte first.
  EXPECT_EQ(msg[101], 113);
  EXPECT_EQ(msg[102], 0);
  EXPECT_EQ(text_of(msg),
            "3:0\ntns1:MotionDetectionEvent\n*\ntns1:Device/tns1:Trigger/tns1:DigitalInput\n*\n"
            "tns1:VideoSource/tns1:MotionAlarm\n*\n");
  for (size_t i = 105 + 113; i < msg.size(); ++i) ASSERT_EQ(msg[i], 0) << i;
}

TEST_F(MetadataControl, RequestsReadBackEqualToWhatWasSent) {
  std::vector<std::pair<std::string, std::string>> topics;
  for (int i = 0; i < 16; ++i) topics.emplace_back("tns1:Topic" + std::to_string(i), i == 3 ? "" : "v");
  topics[5].first = std::string(256, 'T');
  topics[6].second = std::string(256, 'V');
  subscription s(topics, {"item line"}, "p");
  for (const uint32_t mode : {1u, 0u}) {
    ASSERT_EQ(send(s, mode, 1023), 0);
    const bytes msg = receive();
    metadata_request request{};
    metadata_filter filter{};
    uint32_t got_mode = 7;
    ASSERT_EQ(IPC_iMakeMetadataFilterStructFromMsg(msg.data(), msg.size(), &request, &filter, &got_mode), 0);
    EXPECT_EQ(got_mode, mode);
    EXPECT_EQ(request.setting1, 1u);
    EXPECT_EQ(request.setting2, 2u);
    EXPECT_EQ(request.setting3, 3u);
    EXPECT_STREQ(request.profile, "p");
    ASSERT_EQ(filter.topic_count, 16);
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(filter.topics[i]->topic, topics[i].first);
      EXPECT_EQ(filter.topics[i]->value, topics[i].second);
    }
    ASSERT_EQ(filter.item_count, 1);
    EXPECT_STREQ(filter.items[0], "item line");
    EXPECT_EQ(IPC_iFreeMetadataFilter(&filter), 0);
    EXPECT_EQ(filter.topics, nullptr);
  }
}

TEST_F(MetadataControl, EmptyValueIsANewlineAndEmptyItemIsNothing) {
  subscription s({{"a", ""}}, {""});
  ASSERT_EQ(send(s), 0);
  const bytes msg = receive();
  EXPECT_EQ(text_of(msg), "1:1\na\n\n");
  metadata_request request{};
  metadata_filter filter{};
  ASSERT_EQ(IPC_iMakeMetadataFilterStructFromMsg(msg.data(), msg.size(), &request, &filter, nullptr), 0);
  ASSERT_EQ(filter.item_count, 1);
  EXPECT_STREQ(filter.items[0], "");
  IPC_iFreeMetadataFilter(&filter);
}

TEST_F(MetadataControl, LongProfileIsCutTo64Characters) {
  subscription s(kMotionTopics, {}, "");
  std::memset(s.request.profile, 'P', sizeof s.request.profile); // unterminated, 65 bytes
  ASSERT_EQ(send(s), 0);
  const bytes msg = receive();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(msg.data()) + 36), std::string(64, 'P'));
}

TEST_F(MetadataControl, OverLimitsAreRefusedWithNothingSent) {
  media_test::log_capture log;
  std::vector<std::pair<std::string, std::string>> seventeen(17, {"t", "*"});
  subscription too_many_topics(seventeen, {});
  EXPECT_EQ(send(too_many_topics), -1);
  EXPECT_EQ(log.matching("Over [17]").size(), 1u);

  subscription two_items(kMotionTopics, {"a", "b"});
  EXPECT_EQ(send(two_items), -1);
  EXPECT_EQ(log.matching("Over [2]").size(), 1u);

  subscription negative(kMotionTopics, {});
  negative.filter.topic_count = -1;
  EXPECT_EQ(send(negative), -1);

  subscription long_item(kMotionTopics, {std::string(272, 'i')});
  EXPECT_EQ(send(long_item), -1);
  EXPECT_EQ(log.matching("[273][273]").size(), 1u);
  EXPECT_TRUE(nothing_sent());

  EXPECT_EQ(IPC_iMetadataControl(nullptr, &long_item.filter, 1, 768, 512), -1);
  EXPECT_EQ(IPC_iMetadataControl(&long_item.request, nullptr, 1, 768, 512), -1);
  // A source outside the metadata class fails validation before connecting.
  subscription fine(kMotionTopics, {});
  EXPECT_EQ(send(fine, 1, 700), -1);
  EXPECT_TRUE(nothing_sent());

  subscription longest_item(kMotionTopics, {std::string(271, 'i')});
  EXPECT_EQ(send(longest_item), 0);
  EXPECT_EQ(text_of(receive()).size(), 113u + 272u);
}

TEST(MetadataControlWithoutService, FailsOnceWithoutRetrying) {
  ipc_test::ipc_dir dir;
  subscription s(kMotionTopics, {});
  media_test::log_capture log;
  EXPECT_EQ(IPC_iMetadataControl(&s.request, &s.filter, 1, 768, 512), -1);
  EXPECT_EQ(log.matching("sock connect failure").size(), 1u);
}

// Builds a type-8 message by hand with the given text.
bytes request_message(const std::string& text, uint32_t announced_text_length) {
  bytes msg = ipc_test::message(8, 768, 512, 32768);
  ipc_put_le32(msg.data(), 101, announced_text_length);
  std::memcpy(msg.data() + 105, text.data(), text.size());
  return msg;
}

TEST(MetadataFilterParse, MalformedRequestsAreRefusedWithoutReadingPastThem) {
  const std::string good = "1:0\ntopic\n*\n";
  metadata_request request{};
  metadata_filter filter{};
  auto parse = [&](const bytes& msg, size_t size) {
    const int r = IPC_iMakeMetadataFilterStructFromMsg(msg.data(), size, &request, &filter, nullptr);
    IPC_iFreeMetadataFilter(&filter);
    return r;
  };
  EXPECT_EQ(parse(request_message(good, 12), 32768), 0);
  const struct {
    std::string text;
    uint32_t announced;
  } bad[] = {
      {good, 40000},                             // text beyond the message
      {good, 11},                                // last line without its newline
      {"17:0\n", 5},                             // too many topics
      {"0:2\n", 4},                              // too many items
      {"-1:0\n", 5},                             // negative count
      {"x:0\n", 4},                              // not a count
      {"1:0\ntopic\n", 10},                      // topic without its value line
      {"1:0\n" + std::string(257, 't') + "\n*\n", 263}, // topic longer than its field
      {"0:1\n" + std::string(65, 'i') + "\n", 70},      // item longer than its field
      {"0:0\nextra\n", 10},                      // lines beyond the counts
      {std::string("1:0\nto\0p\n*\n", 11), 11},  // a NUL inside a line
  };
  for (const auto& b : bad) {
    EXPECT_EQ(parse(request_message(b.text, b.announced), 32768), -1) << b.text;
  }
  // A message shorter than its header says, or than the text offset.
  EXPECT_EQ(parse(request_message(good, 12), 1000), -1);
  bytes short_msg = ipc_test::message(8, 768, 512, 104);
  EXPECT_EQ(parse(short_msg, short_msg.size()), -1);
  bytes wrong_type = request_message(good, 12);
  wrong_type[0] = 4;
  EXPECT_EQ(parse(wrong_type, 32768), -1);
}

}  // namespace
