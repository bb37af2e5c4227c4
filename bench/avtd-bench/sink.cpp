#include "sink.h"

#include "bench_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace bench {

namespace {

constexpr int kBatch = 64;
constexpr size_t kDatagramRoom = 2048;
constexpr int kReceiveBuffer = 64 << 20; // holds a whole unpaced burst
constexpr int kPollMs = 20;
constexpr size_t kControlRoom = CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t)) + 64;

int64_t realtime_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

int open_socket(const std::string& address, int port, std::string& error) {
  socket_address a;
  if (!numeric_address(address, port, a)) {
    error = "not an address: " + address;
    return -1;
  }
  const int fd = socket(a.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer);
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  if (bind(fd, a.get(), a.length) != 0) {
    error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace

struct udp_sink::buffers {
  std::array<std::array<uint8_t, kDatagramRoom>, kBatch> data{};
  std::array<std::array<char, kControlRoom>, kBatch> control{};
  std::array<iovec, kBatch> iov{};
  std::array<mmsghdr, kBatch> msgs{};
};

udp_sink::udp_sink() = default;
udp_sink::~udp_sink() { stop(); }

bool udp_sink::start(const sink_config& config, first_packet_hook hook, std::string& error) {
  config_ = config;
  hook_ = std::move(hook);
  markers_.clear();
  markers_.reserve(config.marker_capacity);
  buf_ = std::make_unique<buffers>();
  if (pipe2(ready_fd_, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  if (pthread_create(&thread_, nullptr, &udp_sink::thread_main, this) != 0) {
    error = "cannot start the receiving thread";
    return false;
  }
  started_ = true;
  char ok = 0;
  const bool ready = read(ready_fd_[0], &ok, 1) == 1 && ok == 1;
  if (!ready) {
    error = setup_error_.empty() ? "the receiving thread failed" : setup_error_;
    stop();
    return false;
  }
  return true;
}

void udp_sink::stop() {
  if (started_) {
    stop_.store(true);
    pthread_join(thread_, nullptr);
    started_ = false;
  }
  for (port_socket& s : sockets_) {
    if (s.fd >= 0) close(s.fd);
  }
  sockets_.clear();
  auto close_fd = [](int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  };
  close_fd(epoll_fd_);
  close_fd(ready_fd_[0]);
  close_fd(ready_fd_[1]);
}

void* udp_sink::thread_main(void* self) {
  static_cast<udp_sink*>(self)->run();
  return nullptr;
}

void udp_sink::run() {
  // Only this thread moves into the receiving host's namespace.
  const char ok = [&] {
    const int ns = open(config_.netns_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
      setup_error_ = "cannot enter " + config_.netns_path + ": " + std::strerror(errno);
      if (ns >= 0) close(ns);
      return 0;
    }
    close(ns);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    for (const int port : config_.ports) {
      for (const int p : {port, port + 1}) {
        const int fd = open_socket(config_.address, p, setup_error_);
        if (fd < 0) return 0;
        port_socket s;
        s.fd = fd;
        s.rtp = p == port;
        sockets_.push_back(s);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = sockets_.size() - 1;
        epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
      }
    }
    return 1;
  }();
  (void)!write(ready_fd_[1], &ok, 1);
  if (ok != 1) return;

  std::array<epoll_event, 16> events{};
  while (!stop_.load(std::memory_order_relaxed)) {
    const int n = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), kPollMs);
    for (int i = 0; i < n; ++i) drain(static_cast<size_t>(events[static_cast<size_t>(i)].data.u64));
  }
}

void udp_sink::drain(size_t socket_index) {
  port_socket& s = sockets_[socket_index];
  buffers& b = *buf_;
  for (;;) {
    for (int k = 0; k < kBatch; ++k) {
      b.iov[k] = {b.data[k].data(), kDatagramRoom};
      b.msgs[k] = mmsghdr{};
      b.msgs[k].msg_hdr.msg_iov = &b.iov[k];
      b.msgs[k].msg_hdr.msg_iovlen = 1;
      b.msgs[k].msg_hdr.msg_control = b.control[k].data();
      b.msgs[k].msg_hdr.msg_controllen = kControlRoom;
    }
    const int got = recvmmsg(s.fd, b.msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (got <= 0) return;
    if (!s.rtp) continue;
    uint64_t bytes = 0;
    int64_t last = 0;
    for (int k = 0; k < got; ++k) {
      msghdr& h = b.msgs[k].msg_hdr;
      int64_t rx = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts{};
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          rx = static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
          uint32_t drops = 0;
          std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
          if (drops > s.drops) {
            dropped_.fetch_add(drops - s.drops, std::memory_order_release);
            s.drops = drops;
          }
        }
      }
      if (rx == 0) rx = realtime_ns();
      const size_t len = b.msgs[k].msg_len;
      bytes += len;
      last = rx;
      if (first_rx_.load(std::memory_order_relaxed) == 0) {
        first_rx_.store(rx, std::memory_order_release);
        if (hook_) hook_(rx);
      }
      if (window_first_rx_.load(std::memory_order_relaxed) == 0) window_first_rx_.store(rx, std::memory_order_release);
      const uint8_t* p = b.data[k].data();
      const bool marker = len >= 12 && (p[1] & 0x80) != 0;
      if (marker && markers_.size() < markers_.capacity()) {
        marker_record m;
        m.rx_ns = rx;
        m.length = static_cast<uint16_t>(len);
        const size_t tail = std::min<size_t>(sizeof m.tail, len);
        std::memcpy(m.tail + (sizeof m.tail - tail), p + len - tail, tail);
        markers_.push_back(m);
      }
    }
    if (!s.heard) {
      s.heard = true;
      ports_heard_.fetch_add(1, std::memory_order_release);
    }
    last_rx_.store(last, std::memory_order_release);
    bytes_.fetch_add(bytes, std::memory_order_release);
    packets_.fetch_add(static_cast<uint64_t>(got), std::memory_order_release);
  }
}

} // namespace bench
