#include "procstat.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace bench {

namespace {

int64_t to_ns(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec; }

// Reads a small /proc file whole; empty when it cannot be read.
std::string slurp(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char chunk[8192];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
  close(fd);
  return out;
}

int64_t field_kib(std::string_view line) {
  // "Name:     1234 kB"
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return 0;
  return std::strtoll(std::string(line.substr(colon + 1)).c_str(), nullptr, 10);
}

} // namespace

int64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return to_ns(t);
}

int64_t realtime_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return to_ns(t);
}

int64_t process_cpu_ns(pid_t pid) {
  clockid_t clock;
  if (clock_getcpuclockid(pid, &clock) != 0) return -1;
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return -1;
  return to_ns(t);
}

int64_t thread_cpu_ns(pid_t pid, pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", static_cast<int>(pid), static_cast<int>(tid));
  const std::string text = slurp(path);
  if (text.empty()) return -1;
  return std::strtoll(text.c_str(), nullptr, 10);
}

std::vector<pid_t> threads_of(pid_t pid) {
  std::vector<pid_t> tids;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return tids;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] >= '0' && e->d_name[0] <= '9') tids.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
  }
  closedir(d);
  std::sort(tids.begin(), tids.end());
  return tids;
}

int64_t peak_resident_kib(pid_t pid) {
  const std::string text = slurp("/proc/" + std::to_string(pid) + "/status");
  const size_t at = text.find("VmHWM:");
  if (at == std::string::npos) return -1;
  return field_kib(std::string_view(text).substr(at, text.find('\n', at) - at));
}

int64_t own_memory_kib(pid_t pid) {
  const std::string text = slurp("/proc/" + std::to_string(pid) + "/smaps");
  if (text.empty()) return -1;
  enum class kind { skip, whole, written };
  kind current = kind::skip;
  int64_t total = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    const bool header = !line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
                        line.find('-') < line.find(' ');
    if (header) {
      // "start-end perms offset dev inode [path]"
      size_t field = 0, at = 0;
      std::string_view perms, path;
      while (at < line.size() && field < 6) {
        while (at < line.size() && line[at] == ' ') ++at;
        const size_t stop = field == 5 ? line.size() : std::min(line.find(' ', at), line.size());
        const std::string_view word = line.substr(at, stop - at);
        if (field == 1) perms = word;
        if (field == 5) path = word;
        at = stop;
        ++field;
      }
      if (perms.size() == 4 && perms[3] == 's') {
        current = kind::skip;
      } else if (path == "[vvar]" || path == "[vdso]" || path == "[vsyscall]" || path == "[vvar_vclock]") {
        current = kind::skip;
      } else if (path.find(".so") != std::string_view::npos) {
        current = kind::written;
      } else {
        current = kind::whole;
      }
      continue;
    }
    if (current == kind::whole && line.rfind("Rss:", 0) == 0) total += field_kib(line);
    if (current == kind::written && line.rfind("Anonymous:", 0) == 0) total += field_kib(line);
  }
  return total;
}

udp_out_counter::udp_out_counter() {
  fd_ = open("/proc/self/net/snmp", O_RDONLY | O_CLOEXEC);
  fd6_ = open("/proc/self/net/snmp6", O_RDONLY | O_CLOEXEC);
}

// "Udp6OutDatagrams                  1234" on a line of its own.
uint64_t udp_out_counter::read_ipv6() const {
  if (fd6_ < 0) return 0;
  char text[16384];
  const ssize_t n = pread(fd6_, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  const char* at = std::strstr(text, "Udp6OutDatagrams");
  return at == nullptr ? 0 : std::strtoull(at + std::strlen("Udp6OutDatagrams"), nullptr, 10);
}

udp_out_counter::~udp_out_counter() {
  if (fd_ >= 0) close(fd_);
  if (fd6_ >= 0) close(fd6_);
}

uint64_t udp_out_counter::read() const {
  if (fd_ < 0) return read_ipv6();
  char text[8192];
  const ssize_t n = pread(fd_, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  // "Udp: InDatagrams NoPorts InErrors OutDatagrams ..." then the values.
  const char* names = std::strstr(text, "\nUdp: ");
  if (names == nullptr) return 0;
  const char* values = std::strstr(names + 1, "\nUdp: ");
  if (values == nullptr) return 0;
  const char* p = names + 6;
  const char* v = values + 6;
  for (int column = 0; column < 16; ++column) {
    const bool out = std::strncmp(p, "OutDatagrams", 12) == 0;
    char* after = nullptr;
    const unsigned long long value = std::strtoull(v, &after, 10);
    if (out) return value + read_ipv6();
    p = std::strchr(p, ' ');
    if (p == nullptr || after == nullptr) return 0;
    ++p;
    v = after;
  }
  return 0;
}

} // namespace bench
