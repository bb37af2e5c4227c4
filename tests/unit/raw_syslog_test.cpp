// The signal handler's hand-made syslog line must read like the C
// library's: same timestamp text, numbers and bounds.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "daemon/raw_syslog.h"

namespace {

std::string library_timestamp(long long seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  gmtime_r(&t, &parts);
  char text[64];
  strftime(text, sizeof text, "%h %e %T ", &parts);
  return text;
}

TEST(RawSyslog, TimestampMatchesTheLibraryFormat) {
  for (const long long t : {0LL, 59LL, 86399LL, 951782400LL /* 2000-02-29 */, 1709251199LL /* 2024-02-29 23:59:59 */,
                            1733484000LL, 4107542400LL /* 2100-03-01 */, 1234567890LL}) {
    char buf[64];
    const int n = raw_append_timestamp(buf, 0, sizeof buf, t);
    EXPECT_EQ(std::string(buf, n), library_timestamp(t)) << t;
    // Cut short, the text stays terminated inside the buffer.
    char small[8];
    EXPECT_EQ(raw_append_timestamp(small, 0, sizeof small, t), 7);
    EXPECT_EQ(std::string(small), library_timestamp(t).substr(0, 7));
  }
  // Every day of a leap year and the year after, at varying times of day.
  for (long long t = 946684800LL; t < 946684800LL + 731 * 86400LL; t += 86400 + 3607) {
    char buf[64];
    raw_append_timestamp(buf, 0, sizeof buf, t);
    ASSERT_EQ(std::string(buf), library_timestamp(t)) << t;
  }
}

} // namespace
