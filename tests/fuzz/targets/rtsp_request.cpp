// The bytes of one RTSP connection as avtd-rtspd takes them apart: requests
// cut off the front one by one (a request never needs bytes beyond those
// it consumed, and never consumes more than there are), the URL and the
// Transport header of each read without fault.
#include "fuzz_support.h"
#include "request.h"
#include "stream_url.h"
#include "transport.h"

namespace {

constexpr size_t kLimit = 8192;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  // Bounded: every round consumes at least one byte or stops.
  while (!rest.empty()) {
    rtsp::request r;
    const rtsp::parse_result p = rtsp::parse_request(rest, kLimit, r);
    if (p.status != rtsp::parse_status::complete) {
      FUZZ_EXPECT(p.consumed == 0);
      break;
    }
    FUZZ_EXPECT(p.consumed > 0 && p.consumed <= rest.size());
    FUZZ_EXPECT(r.cseq >= 0 && !r.method.empty() && !r.url.empty());
    rtsp::request again;
    const rtsp::parse_result q = rtsp::parse_request(rest.substr(0, p.consumed), kLimit, again);
    FUZZ_EXPECT(q.status == rtsp::parse_status::complete && q.consumed == p.consumed && again.body == r.body);
    if (const auto ref = rtsp::parse_stream_url(r.url)) {
      FUZZ_EXPECT(!ref->datatype().empty() && ref->channel >= 0 && ref->channel <= rtsp::kMaxChannel);
      FUZZ_EXPECT(ref->fps >= 0 && ref->fps <= rtsp::kMaxFps);
    }
    if (const std::string* t = r.header("Transport")) {
      if (const auto chosen = rtsp::choose_transport(*t)) {
        FUZZ_EXPECT(chosen->client_rtp_port >= 0 && chosen->client_rtp_port < 65535);
        FUZZ_EXPECT(!rtsp::transport_header(*chosen, {}).empty());
      }
    }
    rest.remove_prefix(p.consumed);
  }
  return 0;
}
