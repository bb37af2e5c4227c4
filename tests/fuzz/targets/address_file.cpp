// The event channel's address file as every endpoint reads it: the family
// line and the endpoint lines, whatever else the file holds. The first four
// bytes are an endpoint ID, the next two a port, the rest the file. Reading
// gives a family and ports within range; registering the ID and looking it
// up again gives the registered port.
#include <cstdio>

#include "event/ipc_addrfile.h"
#include "event/ipc_defs.h"
#include "fuzz_support.h"
#include "scratch_file.h"

namespace {

// With decimal digits only, the ID has one 8-digit spelling: every line that
// names it holds that spelling and is replaced by a registration.
bool has_one_spelling(uint32_t id) {
  char tag[9];
  std::snprintf(tag, sizeof tag, "%08x", id);
  for (const char c : tag) {
    if (c > '9') return false;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  static fuzz_scratch_file file("onvif_ipc_sockd");
  fuzz_bytes input(data, size);
  const uint32_t id = input.u32();
  const int port = input.u16();
  file.fill(input.rest());

  const int family = ipc_read_family(file.path());
  FUZZ_EXPECT(family >= 0 && family <= 0xFFFF);
  int found = -1;
  FUZZ_EXPECT(ipc_lookup_port(file.path(), id, &found) == 0);
  FUZZ_EXPECT(found >= 0 && found <= 65535);

  FUZZ_EXPECT(ipc_register_endpoint(file.path(), id, port) == 0);
  FUZZ_EXPECT(ipc_lookup_port(file.path(), id, &found) == 0);
  if (has_one_spelling(id)) FUZZ_EXPECT(found == port);
  return 0;
}
