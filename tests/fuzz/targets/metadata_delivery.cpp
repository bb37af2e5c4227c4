// Metadata deliveries from whatever process connects to the stream's
// endpoint: the first two bytes choose the stream's buffer size, the rest is
// one delivery on one connection. get_data must hand on exactly the payload
// the delivery's length word names, only when it lies within the received
// message and the buffer, and drop everything else.
#include <cstring>
#include <memory>

#include "event/ipc_bytes.h"
#include "event/ipc_defs.h"
#include "event/vx_metadata_rtp.h"
#include "fuzz_support.h"
#include "ipc_feed.h"
#include "stream/rtp_thread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  static fuzz_endpoint endpoint;
  vx_metadata_use_endpoint_for_tests(endpoint.handle());
  fuzz_bytes input(data, size);
  const uint16_t choice = input.u16();
  // Mostly the size the stream uses, sometimes a smaller one.
  const int buffer_size = (choice & 0x8000) != 0 ? 1 + (choice & 0x7FFF) : static_cast<int>(kIpcMaxMessage);
  const std::span<const uint8_t> message = input.rest();

  auto thread = std::make_unique<rtp_thread>();
  vx_metadata_init_rtp_header(thread.get());
  const uint32_t timestamp = thread->rtp_timestamp;
  auto buffer = std::make_unique<unsigned char[]>(static_cast<size_t>(buffer_size));

  const int peer = endpoint.send(message);
  const int n = vx_metadata_get_data(thread.get(), buffer.get(), buffer_size);
  endpoint.finish(peer);

  FUZZ_EXPECT(n >= -1 && n <= buffer_size);
  if (n < 0) FUZZ_EXPECT(thread->rtp_timestamp == timestamp);
  if (n <= 0) return 0;
  // Only a delivery with its header, its length word and n payload bytes.
  FUZZ_EXPECT(message.size() >= kIpcDeliveryOffPayload + static_cast<size_t>(n));
  // The type is not looked at: any message the endpoint accepts is a delivery.
  FUZZ_EXPECT(ipc_get_le32(message.data(), kIpcDeliveryOffLength) == static_cast<uint32_t>(n));
  FUZZ_EXPECT(ipc_get_le32(message.data(), kIpcOffLength) >= kIpcDeliveryOffPayload + static_cast<uint32_t>(n));
  FUZZ_EXPECT(std::memcmp(buffer.get(), message.data() + kIpcDeliveryOffPayload, static_cast<size_t>(n)) == 0);
  FUZZ_EXPECT(thread->rtp_timestamp != timestamp);
  FUZZ_EXPECT(thread->rtp_payload_type == kPayloadMetadata);
  return 0;
}
