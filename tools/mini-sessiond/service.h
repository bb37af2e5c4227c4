// The session daemon's socket "/tmp/session": listening, the clients'
// byte streams cut into requests, the replies. Driven from the owner's
// poll loop, so one process can serve it beside other work.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <vector>

#include "requests.h"

class session_service {
 public:
  explicit session_service(session_registry& registry) : registry_(registry) {}
  ~session_service();
  session_service(const session_service&) = delete;
  session_service& operator=(const session_service&) = delete;

  // Listens on path (a stale socket there is replaced). False on failure.
  bool listen_on(const char* path);
  // Appends the descriptors to watch; returns how many.
  size_t add_poll_fds(std::vector<pollfd>& fds) const;
  // Serves what the descriptors added at fds[first...] reported.
  void serve(const std::vector<pollfd>& fds, size_t first);
  // Closes everything and removes the socket.
  void close_all();

 private:
  struct client {
    int fd = -1;
    pid_t pid = 0;
    std::vector<unsigned char> in;
  };
  bool answer(client& c);

  session_registry& registry_;
  int listen_fd_ = -1;
  const char* path_ = nullptr;
  std::vector<client> clients_;
};
