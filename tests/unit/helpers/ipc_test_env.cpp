#include "helpers/ipc_test_env.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "event/ipc_addrfile.h"
#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/ipc_file.h"

namespace ipc_test {

ipc_dir::ipc_dir(int family) {
  char templ[] = "/tmp/avtd-ipc-XXXXXX";
  const char* made = mkdtemp(templ);
  path_ = made != nullptr ? made : "";
  ipc_set_directory_for_tests(path_.c_str());
  if (family != 0) {
    ipc_service_sockets record{};
    IPC_iStartSock(&record, family);
  }
}

ipc_dir::~ipc_dir() {
  ipc_set_directory_for_tests(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ipc_dir::read_address_file() const {
  std::ifstream in(address_file());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void ipc_dir::write_address_file(std::string_view text) const { std::ofstream(address_file(), std::ios::trunc) << text; }

listener::listener(uint32_t id) { result_ = IPC_iOpen(id, kIpcModeListen, &handle_); }

listener::~listener() {
  if (handle_ != 0) {
    IPC_iClose(handle_);
  }
}

bytes listener::next() const {
  bytes got;
  EXPECT_EQ(receive(handle_, &got), 0);
  return got;
}

bool listener::idle() const {
  pollfd p{handle_, POLLIN, 0};
  return poll(&p, 1, 200) == 0;
}

bytes message(uint32_t type, uint32_t source_id, uint32_t dest_id, uint32_t length, uint32_t param) {
  bytes msg(length < kIpcHeaderSize ? kIpcHeaderSize : length);
  ipc_write_header(msg.data(), type, source_id, dest_id, param);
  ipc_put_le32(msg.data(), kIpcOffLength, length);
  return msg;
}

bytes text_message(uint32_t type, uint32_t source_id, uint32_t dest_id, size_t length_offset,
                   const std::string& text, uint32_t announced) {
  bytes msg = message(type, source_id, dest_id, kIpcMaxMessage);
  ipc_put_le32(msg.data(), length_offset, announced);
  std::memcpy(msg.data() + length_offset + 4, text.data(), text.size());
  return msg;
}

std::string text_of(const bytes& msg, size_t length_offset) {
  const char* text = reinterpret_cast<const char*>(msg.data()) + length_offset + 4;
  return std::string(text, ipc_get_le32(msg.data(), length_offset));
}

namespace {

// Connects to the listening endpoint directly, as a raw peer.
int raw_connect(ipc_handle listening) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

raw_peer::raw_peer(ipc_handle listening, std::vector<bytes> pieces, int pause_ms, int linger_ms) {
  const int fd = raw_connect(listening);
  thread_ = std::thread([fd, pieces = std::move(pieces), pause_ms, linger_ms] {
    if (fd < 0) {
      return;
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0 && pause_ms > 0) {
        usleep(static_cast<useconds_t>(pause_ms) * 1000);
      }
      // The receiver may close early; a failed write is part of some tests.
      if (send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL) < 0) {
        break;
      }
    }
    if (linger_ms > 0) {
      usleep(static_cast<useconds_t>(linger_ms) * 1000);
    }
    close(fd);
  });
}

raw_peer::~raw_peer() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

int receive(ipc_handle listening, bytes* msg, uint32_t capacity, int wait_ms) {
  const int ready = IPC_iSelect(listening, wait_ms);
  if (ready != 0) {
    return ready;
  }
  bytes buffer(capacity == 0 ? 1 : capacity);
  uint32_t length = 0;
  const int result = IPC_iReceive(listening, buffer.data(), &length, capacity);
  if (result == 0) {
    buffer.resize(ipc_get_le32(buffer.data(), kIpcOffLength));
    *msg = std::move(buffer);
  }
  return result;
}

int send_to(uint32_t id, bytes msg) {
  ipc_handle c = 0;
  int result = IPC_iOpen(id, kIpcModeConnect, &c);
  if (result == 0) {
    result = send(c, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size()) ? 0 : -1;
    IPC_iClose(c);
  }
  return result;
}

}  // namespace ipc_test
