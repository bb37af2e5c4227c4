// The metadata control request: its exact bytes on the wire, the limits on
// what it carries, and the receiving side reading it back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "event/ipc_bytes.h"
#include "event/metadata_control.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using ipc_test::bytes;
using topics = std::vector<std::pair<std::string, std::string>>;

// A request and filter owning their topic entries and items.
struct subscription {
  metadata_request request{0, 1, 2, 3, {}};
  std::vector<topic_entry> entries;
  std::vector<topic_entry*> topic_ptrs;
  std::vector<std::string> item_texts;
  std::vector<char*> item_ptrs;
  metadata_filter filter{};

  subscription(const topics& list, std::vector<std::string> items, const char* profile = "default.profile")
      : entries(list.size()), item_texts(std::move(items)) {
    std::snprintf(request.profile, sizeof request.profile, "%s", profile);
    for (size_t i = 0; i < list.size(); ++i) {
      std::memset(&entries[i], 0, sizeof entries[i]);
      std::snprintf(entries[i].topic, sizeof entries[i].topic, "%s", list[i].first.c_str());
      std::snprintf(entries[i].value, sizeof entries[i].value, "%s", list[i].second.c_str());
      topic_ptrs.push_back(&entries[i]);
    }
    for (std::string& s : item_texts) item_ptrs.push_back(s.data());
    filter = {topic_ptrs.data(), static_cast<int32_t>(topic_ptrs.size()), item_ptrs.data(),
              static_cast<int32_t>(item_ptrs.size())};
  }
};

const topics kMotionTopics = {
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
  std::string sent_text() { return ipc_test::text_of(service_.next(), kMetaOffTextLength); }
};

TEST_F(MetadataControl, StartRequestHasItsExactLayoutAnd113ByteText) {
  ASSERT_EQ(send(subscription(kMotionTopics, {})), 0);
  const std::string text =
      "3:0\ntns1:MotionDetectionEvent\n*\ntns1:Device/tns1:Trigger/tns1:DigitalInput\n*\n"
      "tns1:VideoSource/tns1:MotionAlarm\n*\n";
  // The text length sits at the odd offset 101, least significant byte first.
  bytes expected = ipc_test::text_message(8, 768, 512, 101, text, 113);
  for (const auto& [offset, value] : {std::pair{20, 1u}, {24, 1u}, {28, 2u}, {32, 3u}}) {
    ipc_put_le32(expected.data(), offset, value);
  }
  std::memcpy(expected.data() + 36, "default.profile", 15);
  EXPECT_EQ(service_.next(), expected);
}

TEST_F(MetadataControl, RequestsReadBackEqualToWhatWasSent) {
  topics list;
  for (int i = 0; i < 16; ++i) list.emplace_back("tns1:Topic" + std::to_string(i), i == 3 ? "" : "v");
  list[5].first = std::string(256, 'T');
  list[6].second = std::string(256, 'V');
  subscription s(list, {"item line"}, "p");
  for (const uint32_t mode : {1u, 0u}) {
    ASSERT_EQ(send(s, mode, 1023), 0);
    const bytes msg = service_.next();
    metadata_request request{};
    metadata_filter filter{};
    uint32_t got_mode = 7;
    ASSERT_EQ(IPC_iMakeMetadataFilterStructFromMsg(msg.data(), msg.size(), &request, &filter, &got_mode), 0);
    EXPECT_EQ(got_mode, mode);
    EXPECT_EQ(std::vector<uint32_t>({request.setting1, request.setting2, request.setting3}),
              std::vector<uint32_t>({1, 2, 3}));
    EXPECT_STREQ(request.profile, "p");
    ASSERT_EQ(filter.topic_count, 16);
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(filter.topics[i]->topic, list[i].first);
      EXPECT_EQ(filter.topics[i]->value, list[i].second);
    }
    ASSERT_EQ(filter.item_count, 1);
    EXPECT_STREQ(filter.items[0], "item line");
    EXPECT_EQ(IPC_iFreeMetadataFilter(&filter), 0);
    EXPECT_EQ(filter.topics, nullptr);
  }
}

TEST_F(MetadataControl, EmptyValueIsANewlineEmptyItemIsNothingLongProfileIsCut) {
  subscription s({{"a", ""}}, {""}, "");
  std::memset(s.request.profile, 'P', sizeof s.request.profile); // unterminated, 65 bytes
  ASSERT_EQ(send(s), 0);
  const bytes msg = service_.next();
  EXPECT_EQ(ipc_test::text_of(msg, kMetaOffTextLength), "1:1\na\n\n");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(msg.data()) + 36), std::string(64, 'P'));
  metadata_request request{};
  metadata_filter filter{};
  ASSERT_EQ(IPC_iMakeMetadataFilterStructFromMsg(msg.data(), msg.size(), &request, &filter, nullptr), 0);
  ASSERT_EQ(filter.item_count, 1);
  EXPECT_STREQ(filter.items[0], "");
  IPC_iFreeMetadataFilter(&filter);
}

TEST_F(MetadataControl, OverLimitsAreRefusedWithNothingSentAndNoRetry) {
  media_test::log_capture log;
  EXPECT_EQ(send(subscription(topics(17, {"t", "*"}), {})), -1);
  EXPECT_EQ(log.matching("Over [17]").size(), 1u);
  EXPECT_EQ(send(subscription(kMotionTopics, {"a", "b"})), -1);
  EXPECT_EQ(log.matching("Over [2]").size(), 1u);
  subscription negative(kMotionTopics, {});
  negative.filter.topic_count = -1;
  EXPECT_EQ(send(negative), -1);
  subscription long_item(kMotionTopics, {std::string(272, 'i')});
  EXPECT_EQ(send(long_item), -1);
  EXPECT_EQ(log.matching("[273][273]").size(), 1u);
  EXPECT_EQ(IPC_iMetadataControl(nullptr, &long_item.filter, 1, 768, 512), -1);
  EXPECT_EQ(IPC_iMetadataControl(&long_item.request, nullptr, 1, 768, 512), -1);
  // A source outside the metadata class fails validation before connecting.
  const subscription fine(kMotionTopics, {});
  EXPECT_EQ(send(fine, 1, 700), -1);
  EXPECT_TRUE(service_.idle());

  EXPECT_EQ(send(subscription(kMotionTopics, {std::string(271, 'i')})), 0);
  EXPECT_EQ(sent_text().size(), 113u + 272u);

  dir_.write_address_file("ADDR_FAMILY=2\n"); // no service registered
  EXPECT_EQ(send(fine), -1);
  EXPECT_EQ(log.matching("sock connect failure").size(), 1u);
}

TEST(MetadataFilterParse, MalformedRequestsAreRefusedWithoutReadingPastThem) {
  auto parse_msg = [](const bytes& msg, size_t size) {
    metadata_request request{};
    metadata_filter filter{};
    const int r = IPC_iMakeMetadataFilterStructFromMsg(msg.data(), size, &request, &filter, nullptr);
    IPC_iFreeMetadataFilter(&filter);
    return r;
  };
  auto parse = [&](const std::string& text, uint32_t announced, size_t size = 32768) {
    return parse_msg(ipc_test::text_message(8, 768, 512, 101, text, announced), size);
  };
  const std::string good = "1:0\ntopic\n*\n";
  EXPECT_EQ(parse(good, 12), 0);
  EXPECT_EQ(parse(good, 12, 1000), -1); // shorter than its header says
  EXPECT_EQ(parse_msg(ipc_test::message(8, 768, 512, 104), 104), -1); // shorter than the text offset
  EXPECT_EQ(parse_msg(ipc_test::text_message(4, 768, 512, 101, good, 12), 32768), -1); // another type
  const std::pair<std::string, uint32_t> bad[] = {
      {good, 40000},                                     // text beyond the message
      {good, 11},                                        // last line without its newline
      {"17:0\n", 5},                                     // too many topics
      {"0:2\n", 4},                                      // too many items
      {"-1:0\n", 5},                                     // negative count
      {"x:0\n", 4},                                      // not a count
      {"1:0\ntopic\n", 10},                              // topic without its value line
      {"1:0\n" + std::string(257, 't') + "\n*\n", 263},  // topic longer than its field
      {"0:1\n" + std::string(65, 'i') + "\n", 70},       // item longer than its field
      {"0:0\nextra\n", 10},                              // lines beyond the counts
      {std::string("1:0\nto\0p\n*\n", 11), 11},          // a NUL inside a line
  };
  for (const auto& [text, announced] : bad) EXPECT_EQ(parse(text, announced), -1) << text;
}

}  // namespace
