// Receiving a handed-over connection: the descriptor arrives usable, and
// every way an offer can be missing or wrong ends in -1 within the bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/session.h"
#include "toolkit/fd.h"

namespace {

std::string offer_path() {
  char dir[] = "/tmp/avtd-recv-test-XXXXXX";
  return std::string(mkdtemp(dir)) + "/offer";
}

void remove_offer_path(const std::string& path) {
  unlink(path.c_str());
  rmdir(path.substr(0, path.rfind('/')).c_str());
}

int listen_unix(const std::string& path) {
  unlink(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(listen(fd, 1), 0);
  return fd;
}

// Accepts one connection (bounded) and sends one byte with `count`
// descriptors attached.
void offer(int listener, const int* fds, int count) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1) {
    return;
  }
  const int conn = accept(listener, nullptr, nullptr);
  unsigned char byte = 'S';
  iovec iov{&byte, 1};
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int) * 2)] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (count > 0) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * count);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    *c = cmsghdr{CMSG_LEN(sizeof(int) * count), SOL_SOCKET, SCM_RIGHTS};
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * count);
  }
  sendmsg(conn, &msg, MSG_NOSIGNAL);
  close(conn);
}

// Receives what `offer_fn` offers on a fresh path, the offer starting after
// `delay`.
int receive_offer(std::function<void(int listener)> offer_fn, std::chrono::milliseconds delay = {}) {
  const std::string path = offer_path();
  std::thread offering([&] {
    std::this_thread::sleep_for(delay);
    const int listener = listen_unix(path);
    offer_fn(listener);
    close(listener);
  });
  const int received = s_recv_sock(path.c_str());
  offering.join();
  remove_offer_path(path);
  return received;
}

int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    n += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  }
  return n;
}

TEST(RecvSock, PassedConnectionArrivesConnectedEvenWhenOfferedLate) {
  for (const auto delay : {std::chrono::milliseconds(0), std::chrono::milliseconds(500)}) {
    int pair[2]; // [0] offered, [1] the receiver's end
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int received = receive_offer([&](int listener) { offer(listener, &pair[0], 1); }, delay);
    close(pair[0]); // the offering process's copy; the connection stays open
    ASSERT_GE(received, 0) << delay.count();

    EXPECT_EQ(send(received, "$rtp", 4, MSG_NOSIGNAL), 4);
    char buf[8] = {};
    EXPECT_EQ(recv(pair[1], buf, sizeof buf, 0), 4);
    EXPECT_STREQ(buf, "$rtp");
    EXPECT_NE(fcntl(received, F_GETFD) & FD_CLOEXEC, 0) << "not inherited by the route command";
    close(received);
    close(pair[1]);
  }
}

// Whatever is offered in place of a connected stream socket is closed.
TEST(RecvSock, MissingOrWrongOfferGivesUpWithoutLeaking) {
  const int before = open_descriptors();
  // Nobody listens: the connect retries run out.
  const std::string nobody = offer_path();
  EXPECT_EQ(s_recv_sock(nobody.c_str()), -1);
  remove_offer_path(nobody);
  EXPECT_EQ(s_recv_sock(nullptr), -1);
  {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const toolkit::Fd pipe_in(pipe_fds[0]), pipe_out(pipe_fds[1]);
    const toolkit::Fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const toolkit::Fd unconnected(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const toolkit::Fd listening(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(listen(listening.get(), 1), 0);
    const toolkit::Fd file(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    const auto offering = [](const toolkit::Fd& fd) { return [n = fd.get()](int l) { offer(l, &n, 1); }; };
    const std::pair<const char*, std::function<void(int)>> offers[] = {
        {"listening but never sending", [](int) { std::this_thread::sleep_for(std::chrono::seconds(4)); }},
        {"a byte without a descriptor", [](int l) { offer(l, nullptr, 0); }},
        {"two descriptors, neither a stream socket", [&](int l) { offer(l, pipe_fds, 2); }},
        {"datagram socket", offering(udp)},
        {"stream socket never connected", offering(unconnected)},
        {"listening stream socket", offering(listening)},
        {"plain file", offering(file)},
    };
    for (const auto& [what, offer_fn] : offers) EXPECT_EQ(receive_offer(offer_fn), -1) << what;
  }
  EXPECT_EQ(open_descriptors(), before);
}

} // namespace
