// Any bytes handed straight to the receiving-side readers of the event IPC
// channel, as if a receive had accepted them: sizes, header lengths and
// text lengths that disagree are the interesting cases.
#include "fuzz_support.h"
#include "ipc_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  const auto msg = fuzz_exact_copy(data, size);
  fuzz_read_every_notice(msg.get(), size);
  return 0;
}
