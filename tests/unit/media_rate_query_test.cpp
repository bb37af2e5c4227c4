#include "media/frame_rate_query.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "helpers/fake_sessiond.h"
#include "helpers/media_log.h"

namespace {

// The length word (native order) and then `text`.
std::vector<uint8_t> reply_of(uint32_t length, const std::string& text) {
  std::vector<uint8_t> out(4 + text.size());
  std::memcpy(out.data(), &length, 4);
  std::memcpy(out.data() + 4, text.data(), text.size());
  return out;
}

TEST(SessionFrameRate, AsksWithCode39AndReadsTheDecimalReplyOrFallsBackToThirty) {
  const struct {
    const char* name;
    std::vector<uint8_t> reply;
    int rate;
  } cases[] = {
      {"25", reply_of(2, "25"), 25},
      {"-5", reply_of(2, "-5"), -5},
      {"closed at once", {}, kDefaultSessionRate},
      // An announced reply far longer than any number is not read at all.
      {"huge length", reply_of(1u << 30, "25"), kDefaultSessionRate},
      {"text shorter than announced", reply_of(4, "25"), kDefaultSessionRate},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    session_test::fake_sessiond sessiond({c.reply});
    EXPECT_EQ(query_session_frame_rate("vx_jpeg_rtp", sessiond.path()), c.rate);
    EXPECT_EQ(sessiond.requests(), std::vector<session_test::bytes>{session_test::words({4, 39})});
  }
}

TEST(SessionFrameRate, UnreachableDaemonMeansThirtyAndIsLogged) {
  media_test::log_capture log;
  EXPECT_EQ(query_session_frame_rate("vx_jpeg_rtp", "/nonexistent/session"), kDefaultSessionRate);
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"vx_jpeg_rtp : connect sessiond error(No such file or directory)"});
}

}  // namespace
