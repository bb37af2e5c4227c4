// The command line: the input split on NUL bytes into an argument vector.
// Whatever the arguments, parsing returns 0 or -1, and an accepted command
// line leaves every field within its range and every text terminated.
#include <cstring>
#include <memory>
#include <vector>

#include "daemon/options.h"
#include "fuzz_support.h"
#include "net/network.h"
#include "stream/rtcp_thread.h"
#include "stream/rtp_thread.h"

namespace {

constexpr size_t kMaxArguments = 64;

bool terminated(const char* field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  // Every argument in an allocation of exactly its size, so that reading past
  // its terminator is caught.
  std::vector<std::unique_ptr<char[]>> storage;
  auto add = [&storage](const char* text, size_t length) {
    auto arg = std::make_unique<char[]>(length + 1);
    std::memcpy(arg.get(), text, length);
    arg[length] = '\0';
    storage.push_back(std::move(arg));
  };
  add("avtd", 4);
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  for (size_t i = 0; i <= size && storage.size() < kMaxArguments; ++i) {
    if (i == size || data[i] == '\0') {
      if (i > start || i < size) add(text + start, i - start);
      start = i + 1;
    }
  }
  std::vector<char*> argv;
  for (auto& arg : storage) argv.push_back(arg.get());
  argv.push_back(nullptr);

  auto thread = std::make_unique<rtp_thread>();
  auto rtcp = std::make_unique<rtcp_thread>();
  const int result = analyze_options(static_cast<int>(argv.size() - 1), argv.data(), thread.get(), rtcp.get());
  fuzz_quiet_logs(); // --log changes the mask
  FUZZ_EXPECT(result == 0 || result == -1);
  FUZZ_EXPECT(terminated(thread->ns.host, sizeof thread->ns.host));
  FUZZ_EXPECT(terminated(thread->ns.device, sizeof thread->ns.device));
  if (result == 0) {
    FUZZ_EXPECT(thread->ns.host[0] != '\0');
    FUZZ_EXPECT(thread->ns.device[0] != '\0');
    FUZZ_EXPECT(thread->ns.dstport <= 65534 && thread->ns.srcport <= 65534);
    FUZZ_EXPECT(thread->ns.ttl <= 255 && thread->ns.tos <= 255);
    FUZZ_EXPECT(thread->channel >= 0 && thread->channel <= 3);
    FUZZ_EXPECT(thread->ns.protocol == kProtocolUdp || thread->ns.protocol == kProtocolTcp);
    FUZZ_EXPECT(rtcp->ns.protocol == thread->ns.protocol);
    FUZZ_EXPECT(thread->framerate == 0 || (thread->framerate >= -60 && thread->framerate <= 30));
  }
  return 0;
}
