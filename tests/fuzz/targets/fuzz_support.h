// What every fuzz target shares: a broken expectation aborts, which both
// libFuzzer and the corpus replay report as a failure; the daemon's log
// messages are masked so that a run neither floods the system log nor
// spends its time there; and a reader for the leading control bytes.
#pragma once

#include <syslog.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#define FUZZ_EXPECT(cond) ((cond) ? (void)0 : ::fuzz_fail(#cond, __FILE__, __LINE__))

// Present under the sanitizers: its summary line reaches the report even
// when libFuzzer has closed the standard error of the code under test.
extern "C" void __sanitizer_report_error_summary(const char* summary) __attribute__((weak));

[[noreturn]] inline void fuzz_fail(const char* what, const char* file, int line) {
  char text[512];
  std::snprintf(text, sizeof text, "%s:%d: expectation failed: %s", file, line, what);
  std::fprintf(stderr, "%s\n", text);
  if (__sanitizer_report_error_summary != nullptr) __sanitizer_report_error_summary(text);
  std::abort();
}

// The daemon never logs at LOG_EMERG: every message is dropped by the mask
// before syslog does any I/O.
inline void fuzz_quiet_logs() { ::setlogmask(LOG_MASK(LOG_EMERG)); }

// Takes control values from the front of the input; 0 once it runs out.
class fuzz_bytes {
 public:
  fuzz_bytes(const uint8_t* data, size_t size) : rest_(data, size) {}

  uint8_t u8() {
    if (rest_.empty()) return 0;
    const uint8_t v = rest_.front();
    rest_ = rest_.subspan(1);
    return v;
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) << 16 | u16(); }

  std::span<const uint8_t> rest() const { return rest_; }

 private:
  std::span<const uint8_t> rest_;
};

// A copy of exactly `size` bytes, so that a reader going one byte too far
// leaves the allocation.
inline std::unique_ptr<unsigned char[]> fuzz_exact_copy(const void* data, size_t size) {
  auto copy = std::make_unique<unsigned char[]>(size == 0 ? 1 : size);
  if (size > 0) std::memcpy(copy.get(), data, size);
  return copy;
}
