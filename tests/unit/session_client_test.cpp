// The registration record byte for byte, and the session-service library
// against an in-test session daemon that refuses, answers short or is not
// there. Well-formed exchanges run against mini-sessiond in the sandbox.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "daemon/session.h"
#include "helpers/fake_sessiond.h"
#include "platform/session_wire.h"
#include "stream/rtp_thread.h"

namespace {

using session_test::bytes;
using session_test::words;

std::unique_ptr<rtp_thread> h264_stream() {
  auto t = std::make_unique<rtp_thread>();
  t->session_id = -1;
  t->payload = kPayloadH264;
  t->channel = 2;
  std::strcpy(t->ns.host, "2001:db8:0:0:0:0:0:2");
  t->ns.dstport = 5000;
  t->framerate = 30;
  t->bitrate = 2000;
  return t;
}

bytes record_bytes(const rtp_thread& t) {
  session_info info{};
  EXPECT_TRUE(make_session_info(&t, &info));
  bytes raw(sizeof info);
  std::memcpy(raw.data(), &info, sizeof info);
  return raw;
}

TEST(SessionInfo, RecordIsByteExactWithCodecNamesAndSevenAsSevenAndAHalf) {
  auto t = h264_stream();
  bytes expected = words({static_cast<uint32_t>(-1), 2});
  expected.resize(100, 0);
  std::memcpy(expected.data() + 8, "h264", 4);
  std::memcpy(expected.data() + 40, "2001:db8:0:0:0:0:0:2", 20);
  const float rate = 30.0f;
  const bytes tail = words({5000, 0, 2000});
  std::memcpy(expected.data() + 88, tail.data(), 12);
  std::memcpy(expected.data() + 92, &rate, 4);
  EXPECT_EQ(record_bytes(*t), expected);

  const struct {
    int payload;
    const char* codec;
  } codecs[] = {{kPayloadJpeg, "jpeg"}, {kPayloadMpeg4, "mpeg4"}, {kPayloadUlaw, "ulaw"}};
  session_info info{};
  for (const auto& c : codecs) {
    t->payload = c.payload;
    ASSERT_TRUE(make_session_info(t.get(), &info));
    EXPECT_STREQ(info.codec, c.codec);
  }
  t->framerate = 7;
  ASSERT_TRUE(make_session_info(t.get(), &info));
  EXPECT_EQ(info.framerate, 7.5f);
  t->framerate = -15;
  ASSERT_TRUE(make_session_info(t.get(), &info));
  EXPECT_EQ(info.framerate, -15.0f);
  t->payload = kPayloadMetadata;
  EXPECT_FALSE(make_session_info(t.get(), &info));
}

TEST(SessionClient, RefusedShortOrMissingRegistrationFails) {
  for (const bytes& reply : {words({8, static_cast<uint32_t>(-1), 5}), words({4, 0}), words({8, 0}), bytes{}}) {
    session_test::fake_sessiond server({reply});
    g_session_service_path = server.path();
    auto t = h264_stream();
    EXPECT_EQ(add_session(t.get()), -1);
    EXPECT_EQ(t->session_id, -1) << "a failed registration leaves the id unset";
  }
  g_session_service_path = "/tmp/avtd-no-such-dir/session";
  auto t = h264_stream();
  EXPECT_EQ(add_session(t.get()), -1);
  g_session_service_path = kSessionServicePath;
  // A path longer than a socket address holds is refused, not cut short.
  const int fd = s_create_client_socket();
  EXPECT_LT(s_connect_serv(fd, std::string(200, 'x').c_str()), 0);
  close(fd);
}

} // namespace
