#include "stream_fake_source.h"

#include <algorithm>
#include <cstring>

namespace stream_test {

namespace {

fake_source* g_active = nullptr;

int on_init(rtp_thread* t) {
  t->rtp_version = 2;
  t->rtp_payload_type = static_cast<uint8_t>(g_active->payload);
  t->rtp_ssrc = 0x01020304;
  return 0;
}

int on_open(rtp_thread* t) {
  ++g_active->open_calls;
  t->data_size = g_active->data_size;
  return g_active->open_result;
}

int on_close(rtp_thread*) {
  ++g_active->close_calls;
  return 0;
}

int on_get_data(rtp_thread* t, unsigned char* buff, int size) {
  fake_source& self = *g_active;
  ++self.get_data_calls;
  if (self.next >= self.steps.size()) return kGetDataEnded;
  const fake_source::step& step = self.steps[self.next++];
  if (step.result > 0) {
    std::memcpy(buff, step.bytes.data(), std::min(step.bytes.size(), static_cast<size_t>(size)));
    t->rtp_timestamp = step.timestamp;
  }
  return step.result;
}

} // namespace

void fake_source::install(rtp_thread& thread, int payload_number, int size) {
  g_active = this;
  payload = payload_number;
  data_size = size;
  thread.payload = payload_number;
  thread.init_rtp_header = on_init;
  thread.open_data_src = on_open;
  thread.close_data_src = on_close;
  thread.get_data = on_get_data;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + seed) % 251 + 1);
  return v;
}

} // namespace stream_test
