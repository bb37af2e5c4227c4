// Whatever a local process sends to a listening endpoint: the first two
// bytes choose the receiver's capacity, the rest is sent on one connection
// that the peer then closes. The receive path must give a result code,
// write nothing beyond its capacity, and accept only a message whose header
// names its exact length and a valid route; the accepted message then goes
// through every receiving-side reader.
#include <cstring>
#include <vector>

#include "event/onvif_event_ipc.h"
#include "fuzz_support.h"
#include "ipc_feed.h"
#include "ipc_readers.h"

namespace {

constexpr uint8_t kGuard = 0x5A;
constexpr size_t kGuardBytes = 16;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  static fuzz_endpoint endpoint;
  fuzz_bytes input(data, size);
  // Mostly the daemon's own capacity, sometimes a small one.
  const uint16_t choice = input.u16();
  const uint32_t capacity = (choice & 0x8000) != 0 ? choice & 0x7FFF : static_cast<uint32_t>(kIpcMaxMessage);
  const std::span<const uint8_t> message = input.rest();

  std::vector<unsigned char> buffer(capacity + kGuardBytes, kGuard);
  const int peer = endpoint.send(message);
  uint32_t length = 0;
  const int result = IPC_iReceive(endpoint.handle(), buffer.data(), &length, capacity);
  endpoint.finish(peer);

  FUZZ_EXPECT(result == 0 || result == kIpcInvalid || result == kIpcReceiveFailed || result == kIpcBadLength ||
              result == kIpcNothingPending);
  for (size_t i = capacity; i < buffer.size(); ++i) FUZZ_EXPECT(buffer[i] == kGuard);
  if (result != 0) return 0;

  const uint32_t received = ipc_get_le32(buffer.data(), kIpcOffLength);
  FUZZ_EXPECT(received >= kIpcHeaderSize);
  FUZZ_EXPECT(received <= capacity && received <= message.size());
  FUZZ_EXPECT(std::memcmp(buffer.data(), message.data(), received) == 0);
  uint32_t offending = 0;
  const ipc_header h = ipc_read_header(buffer.data());
  FUZZ_EXPECT(ipc_check_ids(h.type, h.source_id, h.dest_id, &offending) == 0);

  const auto exact = fuzz_exact_copy(buffer.data(), received);
  fuzz_read_every_notice(exact.get(), received);
  return 0;
}
