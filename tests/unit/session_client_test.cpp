// The session-service library against an in-test session daemon: the
// bytes of each request, the use of each reply, and failure when the
// daemon refuses, answers short or is not there.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/session.h"
#include "platform/session.h"
#include "platform/session_wire.h"
#include "stream/rtp_thread.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes words(std::initializer_list<uint32_t> values) {
  bytes out;
  for (uint32_t v : values) {
    unsigned char b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

uint32_t word_at(const bytes& b, size_t offset) {
  uint32_t v = 0;
  std::memcpy(&v, b.data() + offset, 4);
  return v;
}

// Listens on a private path and answers each connection with the next
// scripted reply after reading one whole request.
class fake_sessiond {
public:
  explicit fake_sessiond(std::vector<bytes> replies) : replies_(std::move(replies)) {
    char dir[] = "/tmp/avtd-session-test-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/session";
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    g_session_service_path = path_.c_str();
    thread_ = std::thread([this] { run(); });
  }

  ~fake_sessiond() {
    stop_ = true;
    thread_.join();
    close(listener_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
    g_session_service_path = kSessionServicePath;
  }

  std::vector<bytes> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

private:
  static bool read_exact(int fd, unsigned char* p, size_t n) {
    while (n > 0) {
      pollfd pf{fd, POLLIN, 0};
      if (poll(&pf, 1, 2000) <= 0) {
        return false;
      }
      const ssize_t got = recv(fd, p, n, 0);
      if (got <= 0) {
        return false;
      }
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }

  void run() {
    for (size_t served = 0; !stop_ && served < 16;) {
      pollfd pf{listener_, POLLIN, 0};
      if (poll(&pf, 1, 50) <= 0) {
        continue;
      }
      const int fd = accept(listener_, nullptr, nullptr);
      bytes request(4);
      if (read_exact(fd, request.data(), 4)) {
        const uint32_t len = word_at(request, 0);
        if (len <= 1024) {
          request.resize(4 + len);
          read_exact(fd, request.data() + 4, len);
        }
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      if (served < replies_.size()) {
        send(fd, replies_[served].data(), replies_[served].size(), MSG_NOSIGNAL);
      }
      ++served;
      close(fd);
    }
  }

  std::vector<bytes> replies_;
  std::string dir_;
  std::string path_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<bytes> requests_;
  std::thread thread_;
};

std::unique_ptr<rtp_thread> h264_stream() {
  auto t = std::make_unique<rtp_thread>();
  t->session_id = -1;
  t->payload = kPayloadH264;
  t->channel = 2;
  std::strcpy(t->ns.host, "198.51.100.2");
  t->ns.dstport = 5000;
  t->framerate = 30;
  t->bitrate = 2000;
  return t;
}

TEST(SessionInfo, RecordIsByteExact) {
  auto t = h264_stream();
  std::strcpy(t->ns.host, "2001:db8:0:0:0:0:0:2");
  session_info info{};
  ASSERT_TRUE(make_session_info(t.get(), &info));
  unsigned char raw[sizeof info];
  std::memcpy(raw, &info, sizeof raw);

  bytes expected(100, 0);
  const auto put = [&](size_t at, const void* p, size_t n) { std::memcpy(expected.data() + at, p, n); };
  const int32_t id = -1;
  const int32_t channel = 2;
  const uint32_t port = 5000;
  const float rate = 30.0f;
  const uint32_t bitrate = 2000;
  put(0, &id, 4);
  put(4, &channel, 4);
  put(8, "h264", 4);
  put(40, "2001:db8:0:0:0:0:0:2", 20);
  put(88, &port, 4);
  put(92, &rate, 4);
  put(96, &bitrate, 4);
  EXPECT_EQ(bytes(raw, raw + sizeof raw), expected);
}

TEST(SessionInfo, CodecNamesAndSevenFramesAsSevenAndAHalf) {
  auto t = h264_stream();
  session_info info{};
  const struct {
    int payload;
    const char* codec;
  } codecs[] = {{kPayloadJpeg, "jpeg"}, {kPayloadH264, "h264"}, {kPayloadMpeg4, "mpeg4"}, {kPayloadUlaw, "ulaw"}};
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
  t->payload = 33;
  EXPECT_FALSE(make_session_info(t.get(), &info));
}

TEST(SessionClient, RegistrationSendsRecordAndTakesAssignedId) {
  fake_sessiond server({words({8, 0, 42})});
  auto t = h264_stream();
  ASSERT_EQ(add_session(t.get()), 0);
  EXPECT_EQ(t->session_id, 42);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const bytes& r = requests[0];
  ASSERT_EQ(r.size(), 108u);
  EXPECT_EQ(word_at(r, 0), 104u);
  EXPECT_EQ(word_at(r, 4), kSessionAdd);
  auto sent = h264_stream();
  session_info info{};
  ASSERT_TRUE(make_session_info(sent.get(), &info));
  EXPECT_EQ(std::memcmp(r.data() + 8, &info, sizeof info), 0);
}

TEST(SessionClient, RefusedShortOrMissingRegistrationFails) {
  for (const bytes& reply : {words({8, static_cast<uint32_t>(-1), 5}), words({4, 0}), words({8, 0}), bytes{}}) {
    fake_sessiond server({reply});
    auto t = h264_stream();
    EXPECT_EQ(add_session(t.get()), -1);
    EXPECT_EQ(t->session_id, -1) << "a failed registration leaves the id unset";
  }
  g_session_service_path = "/tmp/avtd-no-such-dir/session";
  auto t = h264_stream();
  EXPECT_EQ(add_session(t.get()), -1);
  g_session_service_path = kSessionServicePath;
}

TEST(SessionClient, UnnamedPayloadIsNotRegistered) {
  fake_sessiond server({words({8, 0, 1})});
  auto t = h264_stream();
  t->payload = kPayloadMetadata;
  EXPECT_EQ(add_session(t.get()), -1);
  EXPECT_TRUE(server.requests().empty());
}

TEST(SessionClient, UpdateAndRemoveCarryIdAndBitrate) {
  fake_sessiond server({words({4, 0}), words({4, 0}), words({4, static_cast<uint32_t>(-1)})});
  auto t = h264_stream();
  t->session_id = 7;
  t->bitrate = 4800;
  EXPECT_EQ(update_session(t.get()), 0);
  EXPECT_EQ(remove_session(7), 0);
  EXPECT_LT(s_remove_session(8), 0);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], words({12, kSessionUpdate, 7, 4800}));
  EXPECT_EQ(requests[1], words({8, kSessionRemove, 7}));
  EXPECT_EQ(requests[2], words({8, kSessionRemove, 8}));
}

TEST(SessionClient, FrameRateQueryWithTheGenericCalls) {
  bytes reply = words({2});
  reply.push_back('2');
  reply.push_back('5');
  fake_sessiond server({reply});
  const int fd = s_create_client_socket();
  ASSERT_GE(fd, 0);
  ASSERT_GE(s_connect_serv(fd, g_session_service_path), 0);
  const uint32_t length = 4;
  ASSERT_GE(s_write_data(fd, &length, 4), 0);
  ASSERT_GE(s_write_data(fd, &kSessionFrameRateQuery, 4), 0);
  uint32_t n = 0;
  ASSERT_GE(s_read_data(fd, &n, 4), 0);
  ASSERT_EQ(n, 2u);
  char text[3] = {};
  ASSERT_GE(s_read_data(fd, text, 2), 0);
  EXPECT_STREQ(text, "25");
  // The server closed: asking for more than was sent fails.
  EXPECT_LT(s_read_data(fd, text, 1), 0);
  close(fd);
  EXPECT_EQ(server.requests().at(0), words({4, 39}));
}

TEST(SessionClient, ConnectFailsForMissingOrOverlongPath) {
  const int fd = s_create_client_socket();
  ASSERT_GE(fd, 0);
  EXPECT_LT(s_connect_serv(fd, "/tmp/avtd-no-such-dir/sock"), 0);
  EXPECT_LT(s_connect_serv(fd, std::string(200, 'x').c_str()), 0);
  close(fd);
  EXPECT_LT(s_write_data(-1, "x", 1), 0);
  EXPECT_LT(s_read_data(-1, nullptr, 1), 0);
}

} // namespace
