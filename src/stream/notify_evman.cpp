#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "net/network.h"
#include "platform/session.h"
#include "stream/evman_notice.h"
#include "stream/send_rtp.h"

std::atomic<int> net_error_notified{0};

int notify_evman_at(const char* path, int state) {
  evman_msg msg{};
  msg.word0 = kEvmanWord0;
  msg.word1 = kEvmanWord1;
  msg.state = state != 0 ? 1 : 0;

  const int fd = s_create_client_socket();
  if (fd < 0) return -1;
  // An event manager that stopped reading must not hold the stream thread.
  const timeval send_wait{kEvmanReplyWaitSeconds, 0};
  if (s_connect_serv(fd, path) < 0 || safe_send(fd, &msg, sizeof msg, MSG_DONTWAIT, &send_wait) < 1) {
    close(fd);
    return -1;
  }
  // The reply only tells us the event manager has read the notice; its
  // content, and whether one comes at all, is the event manager's business.
  evman_msg reply{};
  const timeval wait{kEvmanReplyWaitSeconds, 0};
  safe_recvfrom(fd, &reply, sizeof reply, 0, nullptr, 0, &wait);
  close(fd);
  net_error_notified.store(msg.state);
  return 0;
}

int notify_evman(int state) { return notify_evman_at(kEvmanPath, state); }
