#include "stream_fake_source.h"

#include <cstring>

namespace stream_test {

namespace {
fake_source* g_active = nullptr;
} // namespace

void fake_source::install(rtp_thread& thread, int payload, int data_size) {
  g_active = this;
  payload_ = payload;
  data_size_ = data_size;
  thread.payload = payload;
  thread.init_rtp_header = on_init;
  thread.open_data_src = on_open;
  thread.close_data_src = on_close;
  thread.get_data = on_get_data;
}

void fake_source::frame(std::vector<uint8_t> bytes, uint32_t timestamp) {
  const int n = static_cast<int>(bytes.size());
  steps_.push_back({n, std::move(bytes), timestamp});
}

void fake_source::result(int value, int times) {
  for (int i = 0; i < times; ++i) steps_.push_back({value, {}, 0});
}

void fake_source::oversize() { steps_.push_back({data_size_ + 1, pattern(16), 0}); }

int fake_source::on_init(rtp_thread* t) {
  t->rtp_version = 2;
  t->rtp_padding = t->rtp_extension = t->rtp_csrc_count = t->rtp_marker = 0;
  t->rtp_payload_type = static_cast<uint8_t>(g_active->payload_);
  t->rtp_seq = 0;
  t->rtp_timestamp = 0;
  t->rtp_ssrc = 0x01020304;
  return 0;
}

int fake_source::on_open(rtp_thread* t) {
  ++g_active->open_calls_;
  t->data_size = g_active->data_size_;
  return g_active->open_result_;
}

int fake_source::on_close(rtp_thread*) {
  ++g_active->close_calls_;
  return 0;
}

int fake_source::on_get_data(rtp_thread* t, unsigned char* buff, int size) {
  fake_source& self = *g_active;
  ++self.get_data_calls_;
  if (self.next_ >= self.steps_.size()) return kGetDataEnded;
  const source_step& step = self.steps_[self.next_++];
  if (step.result > 0) {
    // Never copy more than the buffer holds, whatever the step claims.
    const size_t n = std::min(step.bytes.size(), static_cast<size_t>(size));
    std::memcpy(buff, step.bytes.data(), n);
    t->rtp_timestamp = step.timestamp;
    t->rtp_payload_type = static_cast<uint8_t>(self.payload_);
  }
  return step.result;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + seed) % 251 + 1);
  return v;
}

} // namespace stream_test
