// The floor of the time from a block's publication to the wire: a reader of
// channel 0's frame store that does what the daemon's source does (waits at
// the newest block, copies every block out) and answers each block with one
// small datagram: an RTP header with the marker bit, then the block's last
// 8 bytes, so that the receiving host can tell which block it answers.
//
//   store_echo --host ADDR --port N
// Runs until SIGTERM or SIGINT, or until the store is destroyed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/framestore.h"

namespace {

constexpr int kRtpHeader = 12;
constexpr int kTail = 8;
constexpr int kPrefix = 3; // as the payload header of an STAP-A packet
constexpr int kMaxMisses = 1000; // reads without a block in a row (a second each)

std::atomic<bool> g_stop{false};

extern "C" void on_stop(int) { g_stop.store(true); }

} // namespace

int main(int argc, char** argv) {
  const char* host = nullptr;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--host") host = argv[i + 1];
    if (name == "--port") port = std::atoi(argv[i + 1]);
  }
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(static_cast<uint16_t>(port));
  if (host == nullptr || port <= 0 || port > 65535 || inet_pton(AF_INET, host, &dest.sin_addr) != 1) {
    std::fprintf(stderr, "usage: store_echo --host ADDR --port N\n");
    return 2;
  }
  struct sigaction sa{};
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  shm_handle store{};
  if (shm_attach(shm_chan_conf[0].name, shm_chan_conf[0].number, &store) != 0) {
    std::perror("store_echo: shm_attach");
    return 1;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::vector<uint8_t> frame(store.header->max_frame_size);
  uint8_t datagram[kRtpHeader + kPrefix + kTail] = {0x80, 0xE0};
  int rp = __atomic_load_n(&store.header->wp, __ATOMIC_ACQUIRE);
  uint16_t seq = 0;
  for (int misses = 0; !g_stop.load() && misses < kMaxMisses;) {
    shm_blockinfo info{};
    const int n = shm_read_data_blockinfo(frame.data(), static_cast<int>(frame.size()), &info, &store, &rp, 0);
    if (n == kShmDestroyed) break;
    if (n <= 0) {
      ++misses;
      if (n < 0) rp = __atomic_load_n(&store.header->wp, __ATOMIC_ACQUIRE);
      continue;
    }
    misses = 0;
    datagram[2] = static_cast<uint8_t>(seq >> 8);
    datagram[3] = static_cast<uint8_t>(seq);
    ++seq;
    const int tail = std::min(n, kTail);
    std::memset(datagram + kRtpHeader + kPrefix, 0, kTail);
    std::memcpy(datagram + sizeof datagram - tail, frame.data() + n - tail, static_cast<size_t>(tail));
    sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
  }
  close(fd);
  shm_detach(&store);
  return 0;
}
