// avtd-sdp: prints the session description of the stream that the daemon
// sends with the same options, reading the stream parameters from the frame
// store when one is there.
#include <cstdio>
#include <cstring>
#include <string>

#include "describe.h"
#include "support/command_line.h"

using namespace sdp;

int main(int argc, char** argv) {
  SdpOptions o;
  std::string error;
  const int parsed = parse_options(argc, argv, o, error);
  if (parsed == 1) {
    return show_help(kUsage);
  }
  if (parsed < 0) {
    return refuse_command_line("avtd-sdp", error, kUsage);
  }

  std::string store_error;
  const SdpParams p = describe_stream(o, &store_error);
  if (!store_error.empty()) {
    std::fprintf(stderr, "avtd-sdp: warning: %s\n", store_error.c_str());
  }
  if (o.payload == kPayloadJpeg && !o.enable_rfc2435) {
    std::fprintf(stderr,
                 "avtd-sdp: note: without --enable-rfc2435 the daemon sends each picture as a whole JPEG file, "
                 "which RFC 2435 receivers cannot decode\n");
  }
  if (o.tcp) {
    std::fprintf(stderr,
                 "avtd-sdp: note: with rtp_tcp the packets travel '$'-interleaved on the handed-over TCP "
                 "connection (RTP on channel %d, RTCP on %d), as an RTSP client receives them; plain SDP "
                 "receivers cannot open that\n",
                 o.rtp_channel, o.rtcp_channel);
  }
  std::fputs(build_sdp(p).c_str(), stdout);
  return 0;
}
