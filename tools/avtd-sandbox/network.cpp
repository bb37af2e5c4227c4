#include "avtd-sandbox/netns.h"
#include "avtd-sandbox/sandbox.h"
#include "avtd-sandbox/setup.h"
#include "avtd-sandbox/tool.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace avtd_sandbox {
namespace {

using Args = std::vector<std::string>;

constexpr auto kReadyTimeout = std::chrono::seconds(5);
constexpr auto kReadyStep = std::chrono::milliseconds(5);
constexpr unsigned kTentative = 0x40; // IFA_F_TENTATIVE
constexpr unsigned kDadFailed = 0x08; // IFA_F_DADFAILED
// The daemon logs through a datagram socket; a longer queue keeps bursts of
// lines from blocking it while the capture thread catches up.
constexpr char kUnixQueueLength[] = "512";

std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Link-local and static addresses usable at once, without duplicate
// detection delaying them.
void tune_namespace() {
  write_file("/proc/sys/net/ipv6/conf/all/accept_dad", "0");
  write_file("/proc/sys/net/ipv6/conf/default/accept_dad", "0");
  write_file("/proc/sys/net/unix/max_dgram_qlen", kUnixQueueLength);
}

std::string run_steps(const std::vector<Args>& steps) {
  for (const auto& step : steps) {
    ToolResult result = run_tool(step);
    if (result.status != 0) {
      return "'" + join_args(step) + "' failed (status " + std::to_string(result.status) + "): " + result.output;
    }
  }
  return {};
}

bool link_running(const char* device) {
  int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    return false;
  }
  ifreq req{};
  std::snprintf(req.ifr_name, sizeof req.ifr_name, "%s", device);
  bool ok = ::ioctl(sock, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_UP) != 0 &&
            (req.ifr_flags & IFF_RUNNING) != 0;
  ::close(sock);
  return ok;
}

// /proc/net/if_inet6 in hex: "20010db8000000000000000000000001 02 40 00 80 eth0".
// True when `address_hex` is there and no address of the device is tentative.
bool ipv6_ready(const char* device, const std::string& address_hex) {
  std::ifstream in("/proc/thread-self/net/if_inet6");
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, index, prefix, scope, flags, name;
    if (!(fields >> address >> index >> prefix >> scope >> flags >> name) || name != device) {
      continue;
    }
    unsigned bits = static_cast<unsigned>(std::stoul(flags, nullptr, 16));
    if ((bits & (kTentative | kDadFailed)) != 0) {
      return false;
    }
    found = found || address == address_hex;
  }
  return found;
}

bool end_ready(const std::string& address_hex) {
  return link_running(kDevice) && ipv6_ready(kDevice, address_hex);
}

std::string wait_ready(int peer_fd) {
  const std::string local_hex = "20010db8000000000000000000000001";
  const std::string peer_hex = "20010db8000000000000000000000002";
  const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  for (;;) {
    bool peer_ok = false;
    std::string why = run_in_netns(peer_fd, [&] { peer_ok = end_ready(peer_hex); });
    if (!why.empty()) {
      return why;
    }
    if (peer_ok && end_ready(local_hex)) {
      return {};
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return "eth0 did not come up with usable addresses within 5 s";
    }
    std::this_thread::sleep_for(kReadyStep);
  }
}

// Creates the peer namespace and mounts it at kPeerNetnsPath; we stay in ours.
std::string create_peer(int* peer_fd) {
  int own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (own < 0) {
    return failure("open own network namespace");
  }
  std::string why;
  if (::unshare(CLONE_NEWNET) != 0) {
    why = failure("unshare the peer network namespace");
  } else {
    tune_namespace();
    *peer_fd = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (*peer_fd < 0) {
      why = failure("open the peer network namespace");
    } else if (::mkdir("/run/netns", 0755) != 0 && errno != EEXIST) {
      why = failure("mkdir /run/netns");
    } else {
      int fd = ::open(kPeerNetnsPath, O_CREAT | O_RDONLY | O_CLOEXEC, 0444);
      if (fd < 0) {
        why = failure(std::string("create ") + kPeerNetnsPath);
      } else {
        ::close(fd);
        if (::mount("/proc/self/ns/net", kPeerNetnsPath, nullptr, MS_BIND, nullptr) != 0) {
          why = failure(std::string("bind the peer namespace at ") + kPeerNetnsPath);
        }
      }
    }
    if (::setns(own, CLONE_NEWNET) != 0 && why.empty()) {
      why = failure("return to own network namespace");
    }
  }
  ::close(own);
  return why;
}

} // namespace

std::string setup_network(int* peer_fd, Nic nic) {
  tune_namespace();
  if (auto why = create_peer(peer_fd); !why.empty()) {
    return why;
  }
  const std::string peer = kPeerNetnsName;
  std::vector<Args> steps = {
      {"ip", "link", "set", "lo", "up"},
      {"ip", "link", "add", kDevice, "type", "veth", "peer", "name", kDevice, "netns", peer},
  };
  if (nic == Nic::no_offload) {
    // Only the sending side: the receiving host gets what a wire carries.
    steps.push_back({"ethtool", "-K", kDevice, "tx-udp-segmentation", "off"});
  }
  steps.insert(steps.end(), {
      {"ip", "addr", "add", std::string(kLocalIpv4) + "/24", "dev", kDevice},
      {"ip", "-6", "addr", "add", std::string(kLocalIpv6) + "/64", "dev", kDevice, "nodad"},
      {"ip", "link", "set", kDevice, "up"},
      {"ip", "-n", peer, "link", "set", "lo", "up"},
      {"ip", "-n", peer, "addr", "add", std::string(kPeerIpv4) + "/24", "dev", kDevice},
      {"ip", "-n", peer, "-6", "addr", "add", std::string(kPeerIpv6) + "/64", "dev", kDevice, "nodad"},
      {"ip", "-n", peer, "link", "set", kDevice, "up"},
      // The receiving host may answer anything and join groups without
      // naming an interface; only the daemon's side has no default route.
      {"ip", "-n", peer, "route", "add", "default", "dev", kDevice},
      {"ip", "-n", peer, "-6", "route", "add", "default", "dev", kDevice},
  });
  if (auto why = run_steps(steps); !why.empty()) {
    return why;
  }
  return wait_ready(*peer_fd);
}

} // namespace avtd_sandbox
