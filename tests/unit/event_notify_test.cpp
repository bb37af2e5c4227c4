// The event notice: exact layout, item lines and their order, refusals that
// send nothing, and the receiving side reading it back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "event/event_notify.h"
#include "event/ipc_bytes.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using ipc_test::bytes;
using items = std::vector<std::pair<std::string, std::string>>;

// A record owning its items.
struct notice {
  std::vector<event_item> storage;
  std::vector<event_item*> groups[3];
  event_record record{};

  notice(const items& sources, const items& keys, const items& data, const char* topic = "tns1:Topic") {
    storage.resize(sources.size() + keys.size() + data.size());
    size_t next = 0;
    const items* lists[] = {&sources, &keys, &data};
    for (int g = 0; g < 3; ++g) {
      for (const auto& [name, value] : *lists[g]) {
        event_item& item = storage[next++];
        std::memset(&item, 0, sizeof item);
        std::snprintf(item.name, sizeof item.name, "%s", name.c_str());
        std::snprintf(item.value, sizeof item.value, "%s", value.c_str());
        groups[g].push_back(&item);
      }
    }
    record = {0x01020304, 0xDEADBEEF, 7, 0xFFFFFFFF, {}, static_cast<int32_t>(groups[0].size()), groups[0].data(),
              static_cast<int32_t>(groups[1].size()), groups[1].data(), static_cast<int32_t>(groups[2].size()),
              groups[2].data(), 0};
    std::snprintf(record.topic, sizeof record.topic, "%s", topic);
  }
};

class EventNotify : public ::testing::Test {
 protected:
  ipc_test::ipc_dir dir_;
  ipc_test::listener service_{512};
};

TEST_F(EventNotify, NoticeHasItsLayoutAndItemLinesInGroupOrder) {
  notice n({{"A", "1"}, {"B", "2"}}, {}, {{"State", "true"}});
  ASSERT_EQ(IPC_iEventNotify(n.record, 300, 512), 0);
  const std::string text = "Source,A,1\nSource,B,2\nData,State,true\n";
  bytes expected = ipc_test::text_message(4, 300, 512, 97, text, static_cast<uint32_t>(text.size()));
  ipc_put_le32(expected.data(), 20, 0x01020304);
  ipc_put_le32(expected.data(), 24, 7);
  ipc_put_le32(expected.data(), 28, 0xFFFFFFFF);
  std::memcpy(expected.data() + 32, "tns1:Topic", 10);
  EXPECT_EQ(service_.next(), expected);
}

TEST_F(EventNotify, NoticeReadsBackEqualToWhatWasSent) {
  notice n({{"s1", "v1"}, {"s2", "v2"}, {"s3", "v3"}, {"s4", std::string(255, 'x')}},
           {{std::string(64, 'k'), "kv"}, {"k2", "a,b"}}, {{"d1", "1"}, {"d2", "2"}, {"d3", "3"}, {"d4", "4"}},
           "tns1:VideoSource/tns1:MotionAlarm");
  ASSERT_EQ(IPC_iEventNotify(n.record, 1800, 512), 0);
  const bytes msg = service_.next();
  event_record* got = nullptr;
  ASSERT_EQ(IPC_iMakeEventStructFromNotify(msg.data(), msg.size(), &got), 0);
  EXPECT_EQ(std::tie(got->field1, got->field2, got->field3), std::tie(n.record.field1, n.record.field2, n.record.field3));
  EXPECT_STREQ(got->topic, n.record.topic);
  const std::tuple<int32_t, event_item**, event_item**> groups[] = {{got->source_count, got->sources, n.record.sources},
                                                                   {got->key_count, got->keys, n.record.keys},
                                                                   {got->data_count, got->data, n.record.data}};
  for (size_t g = 0; g < 3; ++g) {
    const auto& [count, read, sent] = groups[g];
    ASSERT_EQ(count, static_cast<int32_t>(n.groups[g].size()));
    for (int i = 0; i < count; ++i) {
      EXPECT_STREQ(read[i]->name, sent[i]->name);
      EXPECT_STREQ(read[i]->value, sent[i]->value);
    }
  }
  IPC_vFreeEventStruct(&got);
  EXPECT_EQ(got, nullptr);
}

TEST_F(EventNotify, EmptyFieldsMissingArraysAndOverlongTextsSendNothing) {
  media_test::log_capture log;
  notice empty_value({{"A", ""}}, {}, {});
  EXPECT_EQ(IPC_iEventNotify(empty_value.record, 300, 512), -1);
  EXPECT_EQ(log.matching("[A][]").size(), 1u);
  notice empty_name({}, {{"", "v"}}, {});
  EXPECT_EQ(IPC_iEventNotify(empty_name.record, 300, 512), -1);
  notice no_array({}, {}, {});
  no_array.record.data_count = 2;
  EXPECT_EQ(IPC_iEventNotify(no_array.record, 300, 512), -1);
  EXPECT_EQ(IPC_iEventNotify(no_array.record, 300, 511), -1); // wrong destination
  // The builder takes any count; a text too long for the message is refused.
  notice many(items(200, {std::string(64, 'n'), std::string(255, 'v')}), {}, {});
  EXPECT_EQ(IPC_iEventNotify(many.record, 300, 512), -1);
  EXPECT_TRUE(service_.idle());
}

TEST(EventStruct, CountsOutsideTheirLimitsAreRefused) {
  event_record* r = nullptr;
  ASSERT_EQ(IPC_iMakeEventStruct(&r, 4, 2, 4), 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->sources[3]->name[0], '\0');
  IPC_vFreeEventStruct(&r);
  for (const auto& [s, k, d] : {std::tuple{5, 0, 0}, {0, 3, 0}, {0, 0, 5}, {-1, 0, 0}}) {
    EXPECT_EQ(IPC_iMakeEventStruct(&r, s, k, d), -1);
    EXPECT_EQ(r, nullptr);
  }
}

TEST(EventNotifyParse, MalformedNoticesAreRefusedWithoutReadingPastThem) {
  auto parse = [](const std::string& text, uint32_t announced, size_t size = 32768) {
    const bytes msg = ipc_test::text_message(4, 300, 512, 97, text, announced);
    event_record* r = nullptr;
    const int result = IPC_iMakeEventStructFromNotify(msg.data(), size, &r);
    IPC_vFreeEventStruct(&r);
    return result;
  };
  EXPECT_EQ(parse("Source,A,1\n", 11), 0);
  EXPECT_EQ(parse("", 0), 0);
  EXPECT_EQ(parse("Source,A,1\n", 11, 100), -1); // a message shorter than its header says
  const std::pair<std::string, uint32_t> bad[] = {
      {"Source,A,1\n", 40000},                        // text beyond the message
      {"Source,A,1\n", 10},                           // no final newline
      {"Other,A,1\n", 10},                            // unknown label
      {"Source,A\n", 9},                              // no value
      {"Source,,1\n", 10},                            // empty name
      {"Source,A,\n", 10},                            // empty value
      {"Key,a,1\nKey,b,2\nKey,c,3\n", 24},            // more keys than a record holds
      {"Data," + std::string(65, 'n') + ",1\n", 73},  // name longer than its field
      {"Data,n," + std::string(256, 'v') + "\n", 264}, // value longer than its field
  };
  for (const auto& [text, announced] : bad) EXPECT_EQ(parse(text, announced), -1) << text;
}

}  // namespace
