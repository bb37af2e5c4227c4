// The floor the daemon is measured against: the very datagram sizes it sends
// for a clip, sent by a bare loop of system calls from a prebuilt buffer.
//
//   floor_sender --host ADDR --port N --sizes FILE [--fps F] [--mode M]
//     --sizes FILE  one little-endian 16-bit word per datagram: bits 0-13 the
//                   size, bit 14 the last datagram of a unit, bit 15 the first
//                   datagram of a frame (avtd-bench writes it from the clip)
//     --fps F       send each frame's datagrams at its frame time (default:
//                   as fast as possible)
//     --mode M      sendto (default): one call per datagram; sendmmsg: one
//                   call per unit; gso: one call per unit with UDP
//                   segmentation (equal sizes but the last, 64 KiB at most)
// Prints what it sent and what that cost, from just before the first send to
// just after the last: "sent N datagrams, B bytes, cpu C ns, wall W ns".
// Exit status 0, or 1 when a send failed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_address.h"
#include "net/udp_segment.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

constexpr uint16_t kSizeMask = 0x3FFF;
constexpr uint16_t kUnitEnd = 0x4000;
constexpr uint16_t kFrameStart = 0x8000;
constexpr int kMaxBatch = 64;          // datagrams per sendmmsg call
constexpr size_t kMaxGsoBytes = 65000; // UDP payload of one segmented send
constexpr int kMaxGsoSegments = 64;
constexpr size_t kDatagramMax = 1500;

enum class mode { sendto_each, sendmmsg_unit, gso_unit };

struct options {
  std::string host;
  int port = 0;
  std::string sizes;
  double fps = 0;
  mode how = mode::sendto_each;
};

bool parse(int argc, char** argv, options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--host") {
      o.host = value;
    } else if (name == "--port") {
      o.port = std::atoi(value);
    } else if (name == "--sizes") {
      o.sizes = value;
    } else if (name == "--fps") {
      o.fps = std::atof(value);
    } else if (name == "--mode") {
      const std::string_view m = value;
      if (m == "sendto") o.how = mode::sendto_each;
      else if (m == "sendmmsg") o.how = mode::sendmmsg_unit;
      else if (m == "gso") o.how = mode::gso_unit;
      else return false;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !o.host.empty() && o.port > 0 && o.port < 65536 && !o.sizes.empty() && o.fps >= 0;
}

std::vector<uint16_t> read_sizes(const std::string& path) {
  std::vector<uint16_t> words;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return words;
  uint8_t pair[2];
  while (std::fread(pair, 1, 2, f) == 2) words.push_back(static_cast<uint16_t>(pair[0] | pair[1] << 8));
  std::fclose(f);
  return words;
}

long long now_ns(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

void sleep_until(const timespec& start, long long offset_ns) {
  timespec at = start;
  at.tv_sec += static_cast<time_t>(offset_ns / 1'000'000'000LL);
  at.tv_nsec += static_cast<long>(offset_ns % 1'000'000'000LL);
  if (at.tv_nsec >= 1'000'000'000L) {
    at.tv_nsec -= 1'000'000'000L;
    ++at.tv_sec;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

class sender {
 public:
  sender(int fd, const bench::socket_address& dest) : fd_(fd), dest_(dest) {
    std::memset(datagram_, 0x5A, sizeof datagram_);
  }

  // Sends words[first, last) (one unit or the rest of one); false on failure.
  bool send(const std::vector<uint16_t>& words, size_t first, size_t last, mode how) {
    switch (how) {
      case mode::sendto_each:
        for (size_t i = first; i < last; ++i) {
          if (sendto(fd_, datagram_, words[i] & kSizeMask, 0, dest_.get(), dest_.length) < 0)
            return false;
        }
        return true;
      case mode::sendmmsg_unit:
        return send_mmsg(words, first, last);
      case mode::gso_unit:
        return send_gso(words, first, last);
    }
    return false;
  }

 private:
  bool send_mmsg(const std::vector<uint16_t>& words, size_t first, size_t last) {
    while (first < last) {
      const size_t count = std::min<size_t>(last - first, kMaxBatch);
      for (size_t k = 0; k < count; ++k) {
        iov_[k] = {datagram_, static_cast<size_t>(words[first + k] & kSizeMask)};
        msgs_[k] = mmsghdr{};
        msgs_[k].msg_hdr.msg_name = &dest_.storage;
        msgs_[k].msg_hdr.msg_namelen = dest_.length;
        msgs_[k].msg_hdr.msg_iov = &iov_[k];
        msgs_[k].msg_hdr.msg_iovlen = 1;
      }
      const int sent = sendmmsg(fd_, msgs_, static_cast<unsigned>(count), 0);
      if (sent <= 0) return false;
      first += static_cast<size_t>(sent);
    }
    return true;
  }

  // Runs of equal sizes (the last of a run may be shorter) in one call each.
  bool send_gso(const std::vector<uint16_t>& words, size_t first, size_t last) {
    while (first < last) {
      const size_t segment = words[first] & kSizeMask;
      size_t end = first + 1;
      size_t bytes = segment;
      while (end < last && static_cast<int>(end - first) < kMaxGsoSegments) {
        const size_t next = words[end] & kSizeMask;
        if (next > segment || bytes + next > kMaxGsoBytes) break;
        bytes += next;
        ++end;
        if (next < segment) break;
      }
      int count = 0;
      for (size_t i = first; i < end; ++i) iov_[count++] = {datagram_, static_cast<size_t>(words[i] & kSizeMask)};
      alignas(cmsghdr) udp_segment_control control;
      msghdr msg{};
      msg.msg_name = &dest_.storage;
      msg.msg_namelen = dest_.length;
      msg.msg_iov = iov_;
      msg.msg_iovlen = static_cast<size_t>(count);
      if (count > 1) {
        attach_udp_segment(msg, control, static_cast<uint16_t>(segment));
      }
      if (sendmsg(fd_, &msg, 0) < 0) return false;
      first = end;
    }
    return true;
  }

  int fd_;
  bench::socket_address dest_;
  unsigned char datagram_[kDatagramMax];
  iovec iov_[kMaxBatch]{};
  mmsghdr msgs_[kMaxBatch]{};
};

} // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: floor_sender --host ADDR --port N --sizes FILE [--fps F] [--mode sendto|sendmmsg|gso]\n");
    return 2;
  }
  const std::vector<uint16_t> words = read_sizes(o.sizes);
  if (words.empty()) {
    std::fprintf(stderr, "floor_sender: no datagram sizes in %s\n", o.sizes.c_str());
    return 1;
  }
  bench::socket_address dest;
  if (!bench::numeric_address(o.host, o.port, dest)) {
    std::fprintf(stderr, "floor_sender: bad host %s\n", o.host.c_str());
    return 2;
  }
  const int fd = socket(dest.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 1;
  static sender out(fd, dest);

  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const long long cpu_start = now_ns(CLOCK_PROCESS_CPUTIME_ID);
  const long long wall_start = now_ns(CLOCK_MONOTONIC);
  long long frame = -1;
  size_t sent = 0;
  unsigned long long bytes = 0;
  size_t i = 0;
  while (i < words.size()) {
    if ((words[i] & kFrameStart) != 0) {
      ++frame;
      if (o.fps > 0) sleep_until(start, static_cast<long long>(static_cast<double>(frame) * 1e9 / o.fps));
    }
    // One unit, or the part of it up to the next frame start.
    size_t end = i;
    while (end < words.size()) {
      const bool unit_end = (words[end] & kUnitEnd) != 0;
      ++end;
      if (unit_end || (end < words.size() && (words[end] & kFrameStart) != 0)) break;
    }
    if (!out.send(words, i, end, o.how)) {
      std::fprintf(stderr, "floor_sender: send failed after %zu datagrams: %s\n", sent, std::strerror(errno));
      return 1;
    }
    sent += end - i;
    for (size_t k = i; k < end; ++k) bytes += words[k] & kSizeMask;
    i = end;
  }
  const long long cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
  const long long wall = now_ns(CLOCK_MONOTONIC) - wall_start;
  close(fd);
  std::printf("sent %zu datagrams, %llu bytes, cpu %lld ns, wall %lld ns\n", sent, bytes, cpu, wall);
  return 0;
}
