// Host routes that steer an IPv4 multicast group out of the stream's
// interface: looked up in the kernel's route table view, changed through
// the system's route program (route_command.cpp).
#include "net/route.h"

#include "net/network.h"
#include "support/log.h"

#include <cstdio>
#include <cstring>

static constexpr char kLogUnit[] = "network";

const char* g_route_table_path = "/proc/net/route";

namespace {

constexpr unsigned kHostRouteFlags = 5; // up and host, no gateway
constexpr size_t kLineSize = 256;

struct RouteLine {
  char iface[16];
  unsigned destination;
  unsigned gateway;
  unsigned flags;
  int refcnt;
  int use;
  int metric;
  unsigned mask;
};

// A line that does not hold every column is not a route.
bool parse_route_line(const char* line, RouteLine& out) {
  return std::sscanf(line, "%15s %x %x %x %d %d %d %x", out.iface, &out.destination, &out.gateway, &out.flags,
                     &out.refcnt, &out.use, &out.metric, &out.mask) == 8;
}

class TableFile {
 public:
  explicit TableFile(const char* path) : f_(std::fopen(path, "re")) {}
  TableFile(const TableFile&) = delete;
  TableFile& operator=(const TableFile&) = delete;
  ~TableFile() {
    if (f_ != nullptr) std::fclose(f_);
  }
  FILE* get() const { return f_; }

 private:
  FILE* f_;
};

} // namespace

int search_route(uint32_t address, const char* device) {
  TableFile table(g_route_table_path);
  if (table.get() == nullptr) {
    LOG_FUNC(LOG_ERR, "search_route", ": fread error(%m)");
    return -1;
  }
  char line[kLineSize];
  // The first line holds the column headings.
  if (std::fgets(line, sizeof line, table.get()) == nullptr) {
    if (!std::ferror(table.get())) return 0;
    LOG_FUNC(LOG_ERR, "search_route", ": fgets error(%m)");
    return -2;
  }

  while (!std::feof(table.get())) {
    if (std::fgets(line, sizeof line, table.get()) == nullptr) {
      if (std::ferror(table.get())) {
        LOG_FUNC(LOG_ERR, "search_route", ": fgets error(%m)");
        return -2;
      }
      continue;
    }
    RouteLine r{};
    if (!parse_route_line(line, r)) continue;
    if (std::strcmp(r.iface, device) == 0 && r.destination == address && r.flags == kHostRouteFlags) return 1;
  }
  return 0;
}

int add_route(uint32_t address, const char* device) {
  if (!is_ipv4_multicast_addr(address)) return 0;
  const int found = search_route(address, device);
  if (found == 1) return 0;
  if (found < 0) return -2;
  return change_route("add", address, device) >= 0 ? 0 : -3;
}

int del_route(uint32_t address, const char* device) {
  if (!is_ipv4_multicast_addr(address)) return 0;
  const int found = search_route(address, device);
  if (found == 0) return 0;
  if (found < 0) return -2;
  return change_route("del", address, device) >= 0 ? 1 : -1;
}
