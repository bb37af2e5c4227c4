// Pid-file names: multicast streams are named by channel (audio and
// metadata have fixed ones), unicast streams by session id.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "daemon/pidfile.h"
#include "stream/rtp_thread.h"

namespace {

std::string name_for(int payload, const char* host, int channel, int session_id) {
  auto t = std::make_unique<rtp_thread>();
  t->payload = payload;
  std::strcpy(t->ns.host, host);
  t->channel = channel;
  t->session_id = session_id;
  char path[kPidfilePathSize];
  pidfile_path_for(t.get(), path, sizeof path);
  return path;
}

TEST(PidfileNames, FollowDestinationAndPayload) {
  EXPECT_EQ(name_for(kPayloadJpeg, "10.0.0.5", 0, 12), "/var/run/avtd_12.pid");
  EXPECT_EQ(name_for(kPayloadH264, "239.1.1.1", 2, 12), "/var/run/avtd_channel2.pid");
  EXPECT_EQ(name_for(kPayloadMpeg4, "224.0.0.9", 1, 3), "/var/run/avtd_channel1.pid");
  EXPECT_EQ(name_for(kPayloadUlaw, "239.1.1.1", 0, 12), "/var/run/avtd_channel3.pid");
  EXPECT_EQ(name_for(kPayloadMetadata, "239.1.1.1", 1, 5), "/var/run/avtd_channel4.pid");
  EXPECT_EQ(name_for(kPayloadMetadata, "198.51.100.2", 0, 5), "/var/run/avtd_metadata_5.pid");
  EXPECT_EQ(name_for(kPayloadMetadata, "198.51.100.2", 0, -1), "/var/run/avtd_metadata_-1.pid");
  EXPECT_EQ(name_for(kPayloadUlaw, "198.51.100.2", 0, 4), "/var/run/avtd_4.pid");
}

TEST(PidfileNames, MulticastTestPerAddressFamily) {
  EXPECT_EQ(name_for(kPayloadH264, "ff02::1", 3, 9), "/var/run/avtd_channel3.pid");
  EXPECT_EQ(name_for(kPayloadH264, "FF15::7", 1, 9), "/var/run/avtd_channel1.pid");
  EXPECT_EQ(name_for(kPayloadH264, "fe80::1", 1, 9), "/var/run/avtd_9.pid");
  EXPECT_EQ(name_for(kPayloadH264, "2001:db8::2", 1, 9), "/var/run/avtd_9.pid");
  EXPECT_EQ(name_for(kPayloadH264, "223.255.255.254", 1, 9), "/var/run/avtd_9.pid");
  EXPECT_EQ(name_for(kPayloadH264, "240.0.0.1", 1, 9), "/var/run/avtd_9.pid");
  EXPECT_EQ(name_for(kPayloadH264, "239.255.255.255", 1, 9), "/var/run/avtd_channel1.pid");
  // The name is cut to the path buffer rather than overflowing it.
  EXPECT_EQ(name_for(kPayloadMetadata, "10.0.0.5", 0, -2147483647 - 1).size(), kPidfilePathSize - 1u);
}

} // namespace
