// What avtd-rtspd makes of the bytes players send: requests cut from a
// connection's stream, the URLs naming streams, the Transport headers.
#include <gtest/gtest.h>

#include <string>

#include "request.h"
#include "stream_url.h"
#include "transport.h"

namespace {

using rtsp::parse_status;
using namespace std::string_literals;

constexpr size_t kLimit = 200;

TEST(RtspRequest, CutsWholeRequestsAndRefusesWhatIsNone) {
  const std::string kOptions = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
  const struct {
    const char* name;
    std::string bytes;
    parse_status status;
    size_t consumed; // complete: bytes taken
    std::string detail; // complete: "METHOD url cseq body" or a header value
  } kCases[] = {
      {"crlf", kOptions, parse_status::complete, kOptions.size(), "OPTIONS * 1 "},
      {"bare lf", "OPTIONS * RTSP/1.0\nCSeq: 2\n\n", parse_status::complete, 28, "OPTIONS * 2 "},
      {"blank lines before", "\r\n\r\n" + kOptions, parse_status::complete, 4 + kOptions.size(), "OPTIONS * 1 "},
      {"pipelined: the first only", kOptions + kOptions, parse_status::complete, kOptions.size(), "OPTIONS * 1 "},
      {"body", "GET_PARAMETER u RTSP/1.0\r\nCSeq: 3\r\nContent-Length: 9\r\n\r\nbitrate\r\nX", parse_status::complete,
       65, "GET_PARAMETER u 3 bitrate\r\n"},
      {"folded header", "SETUP u RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP;\r\n  unicast\r\n\r\n",
       parse_status::complete, 61, "RTP/AVP; unicast"},
      {"head unfinished", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n", parse_status::incomplete, 0, ""},
      {"body unfinished", "ANNOUNCE u RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 10\r\n\r\nabc", parse_status::incomplete,
       0, ""},
      {"no CSeq", "OPTIONS * RTSP/1.0\r\n\r\n", parse_status::bad_request, 0, ""},
      {"two CSeq", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nCSeq: 2\r\n\r\n", parse_status::bad_request, 0, ""},
      {"CSeq not a number", "OPTIONS * RTSP/1.0\r\nCSeq: -1\r\n\r\n", parse_status::bad_request, 0, ""},
      {"length not a number", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 5x\r\n\r\n",
       parse_status::bad_request, 0, ""},
      {"lengths disagree", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 1\r\nContent-length: 2\r\n\r\nab",
       parse_status::bad_request, 0, ""},
      {"header without colon", "OPTIONS * RTSP/1.0\r\nCSeq 1\r\n\r\n", parse_status::bad_request, 0, ""},
      {"NUL in a value", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX: a\0b\r\n\r\n"s,
       parse_status::bad_request, 0, ""},
      {"fold before any header", "OPTIONS * RTSP/1.0\r\n CSeq: 1\r\n\r\n", parse_status::bad_request, 0, ""},
      {"four words", "OPTIONS * x RTSP/1.0\r\nCSeq: 1\r\n\r\n", parse_status::bad_request, 0, ""},
      {"two blanks", "OPTIONS  * RTSP/1.0\r\nCSeq: 1\r\n\r\n", parse_status::bad_request, 0, ""},
      {"method not a token", "OPT(ONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n", parse_status::bad_request, 0, ""},
      {"HTTP", "GET / HTTP/1.1\r\nCSeq: 1\r\n\r\n", parse_status::bad_request, 0, ""},
      {"RTSP 2.0", "OPTIONS * RTSP/2.0\r\nCSeq: 1\r\n\r\n", parse_status::bad_version, 0, ""},
      {"head past the limit", "OPTIONS * RTSP/1.0\r\nX: " + std::string(kLimit, 'a'), parse_status::too_large, 0, ""},
      {"body past the limit", "ANNOUNCE u RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 190\r\n\r\n",
       parse_status::too_large, 0, ""},
      {"length of ten digits", "ANNOUNCE u RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 4294967296\r\n\r\n",
       parse_status::too_large, 0, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    rtsp::request r;
    const rtsp::parse_result p = rtsp::parse_request(c.bytes, kLimit, r);
    EXPECT_EQ(p.status, c.status);
    EXPECT_EQ(p.consumed, c.consumed);
    if (c.status == parse_status::complete) {
      const std::string* transport = r.header("transport");
      EXPECT_EQ(transport != nullptr ? *transport : r.method + " " + r.url + " " + std::to_string(r.cseq) + " " + r.body,
                c.detail);
    }
  }
}

TEST(RtspRequest, UrlsNameTheStreams) {
  const struct {
    const char* url;
    int payload; // -1: names no stream
    int channel;
    int fps;
    const char* datatype;
  } kCases[] = {
      {"rtsp://198.51.100.1:8554/h264", 96, 0, 0, "h264(0)"},
      {"rtsp://[2001:db8::1]:8554/ch2/jpeg?fps=5/track1", 26, 2, 5, "jpeg(2)"},
      {"rtsp://cam/ch3/mpeg4/track1/", 120, 3, 0, "mpeg4(3)"},
      {"/ch1/ulaw", 0, 1, 0, "ulaw"},
      {"rtsp://cam/metadata", 107, 0, 0, "onvif_motion(0)"},
      {"rtsp://cam/jpeg/track1?fps=30", 26, 0, 30, "jpeg(0)"},
      {"rtsp://cam/ch4/h264", -1, 0, 0, ""},
      {"rtsp://cam/chx/h264", -1, 0, 0, ""},
      {"rtsp://cam/h265", -1, 0, 0, ""},
      {"rtsp://cam/", -1, 0, 0, ""},
      {"rtsp://cam/a/b/h264", -1, 0, 0, ""},
      {"rtsp://cam/h264?fps=5", -1, 0, 0, ""},
      {"rtsp://cam/jpeg?fps=0", -1, 0, 0, ""},
      {"rtsp://cam/jpeg?fps=31", -1, 0, 0, ""},
      {"rtsp://cam/jpeg?size=big", -1, 0, 0, ""},
      {"rtsp://[::1/h264", -1, 0, 0, ""},
      {"http://cam/h264", -1, 0, 0, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.url);
    const auto ref = rtsp::parse_stream_url(c.url);
    ASSERT_EQ(ref.has_value(), c.payload >= 0);
    if (ref) {
      EXPECT_EQ(ref->payload, c.payload);
      EXPECT_EQ(ref->channel, c.channel);
      EXPECT_EQ(ref->fps, c.fps);
      EXPECT_EQ(ref->datatype(), c.datatype);
    }
  }
  EXPECT_EQ(rtsp::control_url("rtsp://cam:8554/jpeg/?fps=5"), "rtsp://cam:8554/jpeg/track1?fps=5");
}

TEST(RtspRequest, TheFirstServableTransportIsTaken) {
  using rtsp::transport_kind;
  const struct {
    const char* header;
    bool servable;
    transport_kind kind;
    int port_or_channel;
    int rtcp_channel;
  } kCases[] = {
      {"RTP/AVP;unicast;client_port=5000-5001", true, transport_kind::udp, 5000, 1},
      {"RTP/AVP/UDP;unicast;client_port=5002;mode=\"PLAY\"", true, transport_kind::udp, 5002, 1},
      {"RTP/AVP/TCP;unicast;interleaved=2-3", true, transport_kind::tcp, 2, 3},
      {"RTP/AVP/TCP", true, transport_kind::tcp, 0, 1},
      {"RTP/AVP;multicast;destination=10.0.0.9", true, transport_kind::multicast, 0, 1},
      {"RTP/SAVP;unicast;client_port=1-2, RTP/AVP;unicast;client_port=6000-6001", true, transport_kind::udp, 6000, 1},
      {"RTP/AVP;unicast", false, transport_kind::udp, 0, 0},
      {"RTP/AVP;unicast;client_port=5000-5003", false, transport_kind::udp, 0, 0},
      {"RTP/AVP;unicast;client_port=65535", false, transport_kind::udp, 0, 0},
      {"RTP/AVP;unicast;client_port=x", false, transport_kind::udp, 0, 0},
      {"RTP/AVP/TCP;interleaved=255-256", false, transport_kind::udp, 0, 0},
      {"RTP/AVP/TCP;interleaved=4-4", false, transport_kind::udp, 0, 0},
      {"RTP/AVP;unicast;client_port=7000;mode=record", false, transport_kind::udp, 0, 0},
      {"RTP/AVP;unicast;client_port=7000;mode=", false, transport_kind::udp, 0, 0},
      {"", false, transport_kind::udp, 0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.header);
    const auto t = rtsp::choose_transport(c.header);
    ASSERT_EQ(t.has_value(), c.servable);
    if (t) {
      EXPECT_EQ(t->kind, c.kind);
      EXPECT_EQ(t->kind == transport_kind::udp ? t->client_rtp_port : t->rtp_channel, c.port_or_channel);
      EXPECT_EQ(t->rtcp_channel, c.rtcp_channel);
    }
  }
}

} // namespace
