#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "net/network.h"
#include "platform/session.h"
#include "stream/evman_notice.h"
#include "stream/send_rtp.h"

std::atomic<int> net_error_notified{0};

namespace {

using notice_clock = std::chrono::steady_clock;

// What is left of the notice's whole time; false once it is used up.
bool time_left(notice_clock::time_point deadline, timeval* left) {
  const auto rest = std::chrono::duration_cast<std::chrono::microseconds>(deadline - notice_clock::now());
  if (rest.count() <= 0) return false;
  left->tv_sec = static_cast<time_t>(rest.count() / 1000000);
  left->tv_usec = static_cast<suseconds_t>(rest.count() % 1000000);
  return true;
}

} // namespace

int notify_evman_at(const char* path, int state) {
  evman_msg msg{};
  msg.word0 = kEvmanWord0;
  msg.word1 = kEvmanWord1;
  msg.state = state != 0 ? 1 : 0;

  // Connect, send and reply share one bound, so that a slow event manager
  // holds the stream thread for that long at most.
  const auto deadline = notice_clock::now() + std::chrono::seconds(kEvmanReplyWaitSeconds);
  const int fd = s_create_client_socket();
  if (fd < 0) return -1;
  timeval left{};
  if (s_connect_serv(fd, path) < 0 || !time_left(deadline, &left) ||
      safe_send(fd, &msg, sizeof msg, MSG_DONTWAIT, &left) < 1) {
    close(fd);
    return -1;
  }
  // The reply only tells us the event manager has read the notice; its
  // content, and whether one comes at all, is the event manager's business.
  evman_msg reply{};
  if (time_left(deadline, &left)) safe_recvfrom(fd, &reply, sizeof reply, 0, nullptr, 0, &left);
  close(fd);
  net_error_notified.store(msg.state);
  return 0;
}

int notify_evman(int state) { return notify_evman_at(kEvmanPath, state); }
