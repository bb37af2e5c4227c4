// The kernel's route table view as the host-route lookup reads it: the first
// four bytes are the group address looked for, the fifth picks the device,
// the rest is the table. The lookup answers 0 or 1 whatever the lines hold
// (overlong, cut, without columns, with NUL bytes).
#include <arpa/inet.h>

#include "fuzz_support.h"
#include "scratch_file.h"
#include "net/route.h"

namespace {

constexpr const char* kDevices[] = {"eth0", "lo", "veth-avtd0", "abcdefghijklmno", ""};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  static fuzz_scratch_file table("route");
  g_route_table_path = table.path();
  fuzz_bytes input(data, size);
  const uint32_t address = htonl(input.u32());
  const char* device = kDevices[input.u8() % (sizeof kDevices / sizeof kDevices[0])];
  table.fill(input.rest());
  const int found = search_route(address, device);
  FUZZ_EXPECT(found == 0 || found == 1);
  return 0;
}
