// The event notice: exact layout, item lines and their order, refusals that
// send nothing, and the receiving side reading it back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "event/event_notify.h"
#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

using bytes = std::vector<unsigned char>;
using items = std::vector<std::pair<std::string, std::string>>;

// A record owning its items.
struct notice {
  std::vector<event_item> storage;
  std::vector<event_item*> sources, keys, data;
  event_record record{};

  notice(const items& s, const items& k, const items& d, const char* topic = "tns1:Topic") {
    storage.resize(s.size() + k.size() + d.size());
    size_t next = 0;
    auto fill = [&](const items& list, std::vector<event_item*>& out) {
      for (const auto& [name, value] : list) {
        event_item& item = storage[next++];
        std::memset(&item, 0, sizeof item);
        std::snprintf(item.name, sizeof item.name, "%s", name.c_str());
        std::snprintf(item.value, sizeof item.value, "%s", value.c_str());
        out.push_back(&item);
      }
    };
    fill(s, sources);
    fill(k, keys);
    fill(d, data);
    record.field1 = 0x01020304;
    record.reserved1 = 0xDEADBEEF;
    record.field2 = 7;
    record.field3 = 0xFFFFFFFF;
    std::snprintf(record.topic, sizeof record.topic, "%s", topic);
    record.source_count = static_cast<int32_t>(sources.size());
    record.sources = sources.data();
    record.key_count = static_cast<int32_t>(keys.size());
    record.keys = keys.data();
    record.data_count = static_cast<int32_t>(data.size());
    record.data = data.data();
  }
};

class EventNotify : public ::testing::Test {
 protected:
  ipc_test::ipc_dir dir_;
  ipc_test::listener service_{512};
  bytes receive() {
    bytes got;
    EXPECT_EQ(ipc_test::receive(service_.handle(), &got), 0);
    return got;
  }
  bool nothing_sent() { return !ipc_test::pending(service_.handle(), 200); }
};

TEST_F(EventNotify, NoticeHasItsLayoutAndItemLinesInGroupOrder) {
  notice n({{"A", "1"}, {"B", "2"}}, {}, {{"State", "true"}});
  ASSERT_EQ(IPC_iEventNotify(n.record, 300, 512), 0);
  const bytes msg = receive();
  ASSERT_EQ(msg.size(), 32768u);
  const ipc_header h = ipc_read_header(msg.data());
  EXPECT_EQ(h.type, 4u);
  EXPECT_EQ(h.source_id, 300u);
  EXPECT_EQ(ipc_get_le32(msg.data(), 20), 0x01020304u);
  EXPECT_EQ(ipc_get_le32(msg.data(), 24), 7u);
  EXPECT_EQ(ipc_get_le32(msg.data(), 28), 0xFFFFFFFFu);
  EXPECT_STREQ(reinterpret_cast<const char*>(msg.data()) + 32, "tns1:Topic");
  const std::string text = "Source,A,1\nSource,B,2\nData,State,true\n";
  EXPECT_EQ(ipc_get_le32(msg.data(), 97), text.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(msg.data()) + 101, text.size()), text);
  for (size_t i = 101 + text.size(); i < msg.size(); ++i) ASSERT_EQ(msg[i], 0) << i;
}

TEST_F(EventNotify, NoticeReadsBackEqualToWhatWasSent) {
  notice n({{"s1", "v1"}, {"s2", "v2"}, {"s3", "v3"}, {"s4", std::string(255, 'x')}},
           {{std::string(64, 'k'), "kv"}, {"k2", "a,b"}}, {{"d1", "1"}, {"d2", "2"}, {"d3", "3"}, {"d4", "4"}},
           "tns1:VideoSource/tns1:MotionAlarm");
  ASSERT_EQ(IPC_iEventNotify(n.record, 1800, 512), 0);
  const bytes msg = receive();
  event_record* got = nullptr;
  ASSERT_EQ(IPC_iMakeEventStructFromNotify(msg.data(), msg.size(), &got), 0);
  EXPECT_EQ(got->field1, n.record.field1);
  EXPECT_EQ(got->field2, n.record.field2);
  EXPECT_EQ(got->field3, n.record.field3);
  EXPECT_STREQ(got->topic, n.record.topic);
  auto same = [](event_item** a, event_item** b, int count) {
    for (int i = 0; i < count; ++i) {
      EXPECT_STREQ(a[i]->name, b[i]->name);
      EXPECT_STREQ(a[i]->value, b[i]->value);
    }
  };
  ASSERT_EQ(got->source_count, 4);
  ASSERT_EQ(got->key_count, 2);
  ASSERT_EQ(got->data_count, 4);
  same(got->sources, n.record.sources, 4);
  same(got->keys, n.record.keys, 2);
  same(got->data, n.record.data, 4);
  IPC_vFreeEventStruct(&got);
  EXPECT_EQ(got, nullptr);
}

TEST_F(EventNotify, EmptyFieldsAndMissingArraysSendNothing) {
  media_test::log_capture log;
  notice empty_value({{"A", ""}}, {}, {});
  EXPECT_EQ(IPC_iEventNotify(empty_value.record, 300, 512), -1);
  EXPECT_EQ(log.matching("[A][]").size(), 1u);
  notice empty_name({}, {{"", "v"}}, {});
  EXPECT_EQ(IPC_iEventNotify(empty_name.record, 300, 512), -1);
  notice no_array({}, {}, {});
  no_array.record.data_count = 2;
  EXPECT_EQ(IPC_iEventNotify(no_array.record, 300, 512), -1);
  notice wrong_dest({}, {}, {});
  EXPECT_EQ(IPC_iEventNotify(wrong_dest.record, 300, 511), -1);
  EXPECT_TRUE(nothing_sent());
}

TEST_F(EventNotify, ManyItemsNeverRunPastTheMessage) {
  // The builder takes any count; a text too long for the message is refused.
  std::vector<std::pair<std::string, std::string>> many(200, {std::string(64, 'n'), std::string(255, 'v')});
  notice n(many, {}, {});
  EXPECT_EQ(IPC_iEventNotify(n.record, 300, 512), -1);
  EXPECT_TRUE(nothing_sent());
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

bytes notice_message(const std::string& text, uint32_t announced) {
  bytes msg = ipc_test::message(4, 300, 512, 32768);
  ipc_put_le32(msg.data(), 97, announced);
  std::memcpy(msg.data() + 101, text.data(), text.size());
  return msg;
}

TEST(EventNotifyParse, MalformedNoticesAreRefusedWithoutReadingPastThem) {
  event_record* r = nullptr;
  auto parse = [&](const bytes& msg, size_t size) {
    const int result = IPC_iMakeEventStructFromNotify(msg.data(), size, &r);
    IPC_vFreeEventStruct(&r);
    return result;
  };
  EXPECT_EQ(parse(notice_message("Source,A,1\n", 11), 32768), 0);
  EXPECT_EQ(parse(notice_message("", 0), 32768), 0);
  const struct {
    std::string text;
    uint32_t announced;
  } bad[] = {
      {"Source,A,1\n", 40000},          // text beyond the message
      {"Source,A,1\n", 10},             // no final newline
      {"Other,A,1\n", 10},              // unknown label
      {"Source,A\n", 9},                // no value
      {"Source,,1\n", 10},              // empty name
      {"Source,A,\n", 10},              // empty value
      {"Key,a,1\nKey,b,2\nKey,c,3\n", 24}, // more keys than a record holds
      {"Data," + std::string(65, 'n') + ",1\n", 73}, // name longer than its field
      {"Data,n," + std::string(256, 'v') + "\n", 264}, // value longer than its field
  };
  for (const auto& b : bad) EXPECT_EQ(parse(notice_message(b.text, b.announced), 32768), -1) << b.text;
  EXPECT_EQ(parse(notice_message("Source,A,1\n", 11), 100), -1);
}

}  // namespace
