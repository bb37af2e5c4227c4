// Metadata streams end to end: the daemon subscribes at the stand-in event
// service, turns each delivery into one RTP unit and unsubscribes at the end.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

#include "daemon_runs.h"
#include "event/onvif_event_ipc.h"
#include "harness/harness.h"
#include "media_rtp.h"

namespace {

using namespace harness;
using namespace daemon_runs;

constexpr char kEventLog[] = "/tmp/eventd.log";
constexpr char kSessionLog[] = "/tmp/sessiond.log";
constexpr char kPayloadFile[] = "/tmp/metadata.xml";
constexpr char kAddressFile[] = "/tmp/onvif_ipc_sockd";
// Shutdown waits for the source's five-second poll; the open without a
// service retries for about twenty seconds.
constexpr auto kShutdownWait = 15s;
constexpr auto kNoServiceWait = 40s;

const std::string kTopics =
    R"("topics":[["tns1:MotionDetectionEvent","*"],["tns1:Device/tns1:Trigger/tns1:DigitalInput","*"],)"
    R"(["tns1:VideoSource/tns1:MotionAlarm","*"]],"items":[],"text_length":113,"dest_id":512,"settings":[1,1,1]})";
const std::string kStartLine =
    R"({"op":"metadata_control","mode":1,"source_id":768,"profile":"default.profile",)" + kTopics;
const std::string kStopLine =
    R"({"op":"metadata_control","mode":0,"source_id":768,"profile":"default.profile",)" + kTopics;

using media_sys::rtp_packet;

// A metadata document larger than one packet, so that a unit spans several.
std::string big_document() {
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tt:MetadataStream xmlns:tt=\"http://www.onvif.org/ver10/schema\">";
  for (int i = 0; doc.size() < 3000; ++i) {
    doc += "<tt:Event><tt:SimpleItem Name=\"Region\" Value=\"" + std::to_string(i) + "\"/></tt:Event>";
  }
  return doc + "</tt:MetadataStream>\n";
}

// Groups packets into units by the marker bit.
std::vector<std::vector<rtp_packet>> units_of(const std::vector<Datagram>& datagrams) {
  std::vector<std::vector<rtp_packet>> units(1);
  for (const Datagram& d : datagrams) {
    units.back().push_back(media_sys::parse_rtp(d.data).value_or(rtp_packet{}));
    if (units.back().back().marker) units.emplace_back();
  }
  units.pop_back();
  return units;
}

TEST(MetadataStream, EachDeliveryBecomesOneRtpUnitUntilTermination) {
  const std::string doc = big_document();
  write_file(kPayloadFile, doc);
  Process sessiond = start_sessiond(kSessionLog);
  Process eventd = start_eventd({"--interval-ms", "200", "--payload", kPayloadFile});
  UdpReceiver rx(kPeerIpv4, 5000);

  ASSERT_EQ(launch(stream_args({"--datatype=onvif_motion", "--session_id=5"})).status.code(), 0);
  const auto pid = read_pid_file("/var/run/avtd_metadata_5.pid", 10s);
  ASSERT_TRUE(pid.has_value()) << syslog_dump();
  EXPECT_TRUE(wait_log_line(kEventLog, kStartLine)) << read_file(kEventLog).value_or("");

  // 1460 payload bytes per packet at MTU 1500: three packets per delivery.
  const auto datagrams = rx.receive_n(15, 10s);
  const auto units = units_of(datagrams);
  ASSERT_GE(units.size(), 4u) << datagrams.size() << " packets";
  uint32_t ssrc = units[0][0].ssrc;
  uint16_t seq = units[0][0].seq;
  for (size_t u = 0; u < units.size(); ++u) {
    std::vector<uint8_t> payload;
    for (const rtp_packet& p : units[u]) {
      EXPECT_EQ(p.payload_type, 107);
      EXPECT_EQ(p.ssrc, ssrc);
      EXPECT_EQ(p.seq, seq++);
      EXPECT_EQ(p.timestamp, 45000u * (u + 1)) << "unit " << u;
      EXPECT_EQ(p.marker, &p == &units[u].back());
      payload.insert(payload.end(), p.payload.begin(), p.payload.end());
    }
    EXPECT_EQ(std::string(payload.begin(), payload.end()), doc) << "unit " << u;
  }

  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kShutdownWait).code(), 0);
  EXPECT_TRUE(wait_log_line(kEventLog, kStopLine)) << read_file(kEventLog).value_or("");
  EXPECT_TRUE(wait_file_gone("/var/run/avtd_metadata_5.pid"));
  EXPECT_TRUE(wait_syslog("catch signal SIGTERM"));
  // Never registered and no bit-rate reports: only the given session's removal.
  EXPECT_EQ(log_lines(kSessionLog), std::vector<std::string>{R"({"op":"remove","session_id":5})"});

  eventd.signal(SIGTERM);
  EXPECT_EQ(eventd.wait().code(), 0);
  EXPECT_TRUE(wait_file_gone(kAddressFile)) << "the service removes its address file";
}

TEST(MetadataStream, Ipv6ChannelAndDestinationCarryTheDefaultDocumentOfAServiceUnderAnotherUser) {
  Process eventd = start_eventd({"--family", "10", "--interval-ms", "200"}, true);
  EXPECT_EQ(read_file(kAddressFile).value_or("").rfind("ADDR_FAMILY=10\n", 0), 0u);
  UdpReceiver rx(kPeerIpv6, 5000);
  ASSERT_EQ(launch(stream_args({"--datatype=onvif_motion", "--host=" + std::string(kPeerIpv6), "--session_id=6"})).status.code(), 0);
  const auto pid = read_pid_file("/var/run/avtd_metadata_6.pid", 10s);
  ASSERT_TRUE(pid.has_value()) << syslog_dump();

  const auto datagrams = rx.receive_n(2, 10s);
  ASSERT_EQ(datagrams.size(), 2u);
  for (size_t i = 0; i < datagrams.size(); ++i) {
    const rtp_packet p = media_sys::parse_rtp(datagrams[i].data).value_or(rtp_packet{});
    EXPECT_EQ(p.payload_type, 107);
    EXPECT_TRUE(p.marker);
    EXPECT_EQ(p.timestamp, 45000u * (i + 1));
    const std::string text(p.payload.begin(), p.payload.end());
    EXPECT_NE(text.find("<tt:MetadataStream"), std::string::npos);
    EXPECT_NE(text.find("MotionAlarm"), std::string::npos);
  }
  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kShutdownWait).code(), 0);
  EXPECT_TRUE(wait_log_line(kEventLog, kStopLine));
}

TEST(MetadataStream, WithoutEventServiceTheOpenGivesUpAndTheDaemonEnds) {
  ASSERT_EQ(launch(stream_args({"--datatype=onvif_motion", "--session_id=8"})).status.code(), 0);
  const auto pid = read_pid_file("/var/run/avtd_metadata_8.pid", 10s);
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(wait_exit(*pid, kNoServiceWait).code(), 0);
  EXPECT_TRUE(wait_syslog_regex(unit_line("vx_metadata_rtp", "iMetadataControl open timeout (ret=-1)"), 1s));
  EXPECT_EQ(syslog_count_regex(unit_line("vx_metadata_rtp", "iMetadataControl error(ret=-1)")), 21u);
  EXPECT_TRUE(wait_syslog("open data_src error", 1s));
  EXPECT_TRUE(wait_file_gone("/var/run/avtd_metadata_8.pid"));
}

TEST(EventService, LogsEveryNoticeItReceivesAsOneJsonLine) {
  Process eventd = start_eventd();
  event_item item{};
  std::snprintf(item.name, sizeof item.name, "State");
  std::snprintf(item.value, sizeof item.value, "true");
  event_item* data[] = {&item};
  event_record record{};
  record.field1 = 1;
  std::snprintf(record.topic, sizeof record.topic, "tns1:Topic");
  record.data_count = 1;
  record.data = data;
  ASSERT_EQ(IPC_iEventNotify(record, 300, 512), 0);
  ASSERT_EQ(IPC_iTimeChangeNotify(300, 512, 5, 6), 0);
  ASSERT_EQ(IPC_iMediaSynchronization(0xFFFFFFFF, 512, "sync \"1\""), 0);
  ASSERT_EQ(IPC_iTCPDisconnectionNotify(300, 512, 9), 0);
  // A connection that carries nothing is reported, and the service goes on.
  ipc_handle h = 0;
  ASSERT_EQ(IPC_iOpen(512, kIpcModeConnect, &h), 0);
  IPC_iClose(h);
  ASSERT_EQ(IPC_iNoParamNotify(5, 300, 512, 3), 0);

  const std::vector<std::string> expected = {
      R"({"op":"event_notify","source_id":300,"dest_id":512,"field1":1,"field2":0,"field3":0,"topic":"tns1:Topic","sources":[],"keys":[],"data":[["State","true"]]})",
      R"({"op":"time_change","source_id":300,"dest_id":512,"a":5,"b":6})",
      R"({"op":"media_sync","source_id":4294967295,"dest_id":512,"text":"sync \"1\""})",
      R"({"op":"tcp_disconnection","source_id":300,"dest_id":512,"param":9})",
      R"({"op":"receive_error","code":-11})",
      R"({"op":"no_param","source_id":300,"dest_id":512,"type":5,"param":3})",
  };
  EXPECT_TRUE(wait_until([&] { return log_lines(kEventLog).size() >= expected.size(); }));
  EXPECT_EQ(log_lines(kEventLog), expected);
  eventd.signal(SIGINT);
  EXPECT_EQ(eventd.wait().code(), 0);
}

}  // namespace
