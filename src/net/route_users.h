// Streams of one device that send to the same IPv4 multicast group share one
// host route. Each holds a shared lock on a lock file of the group while it
// runs, so that only the last of them to end removes the route: otherwise
// the first one to stop would cut the others off the group.
#pragma once

#include <cstdint>

// Where the lock files live; tests point it elsewhere.
extern const char* g_route_lock_dir;

class RouteUsers {
 public:
  RouteUsers() = default;
  RouteUsers(const RouteUsers&) = delete;
  RouteUsers& operator=(const RouteUsers&) = delete;
  ~RouteUsers() { release(); }

  // Counts this stream among the group's users; nothing for destinations
  // that are not IPv4 multicast. Waits (bounded) while a last user is
  // removing the route. Without the lock file the stream counts as alone.
  void join(uint32_t address, const char* device);

  // True when no other stream still uses the route, so the caller removes
  // it; the route stays claimed until release(). True too when join() did
  // not take the lock, as a lone stream would.
  bool last_user();

  // Gives up the lock; the last user also removes the lock file.
  void release();

 private:
  int fd_ = -1;
  bool exclusive_ = false;
  char path_[64] = {};
  // The longest group and interface name (15 characters) fit in the usual directory.
  static_assert(sizeof("/var/run/avtd_route_255.255.255.255_.lock") + 15 <= sizeof path_);
};
