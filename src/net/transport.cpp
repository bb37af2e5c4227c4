#include "net/transport.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstring>

bool open_destination(network_setting& ns, sockaddr_storage& dest) {
  const bool ipv6 = std::strchr(ns.host, ':') != nullptr;
  ns.addr.ai_family = ipv6 ? AF_INET6 : AF_INET;
  ns.addr.ai_addr = reinterpret_cast<sockaddr*>(&dest);
  ns.addr.ai_addrlen = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (ns.protocol == kProtocolUdp) {
    ns.sock = prepare_network(&ns);
    if (ns.sock < 0) return false;
  }
  const int mtu = get_mtu(&ns);
  ns.mtu = mtu < 0 ? kFallbackMtu : mtu;
  return true;
}

ssize_t send_datagram(const network_setting& ns, std::span<const iovec> parts) {
  msghdr msg{};
  msg.msg_name = ns.addr.ai_addr;
  msg.msg_namelen = static_cast<socklen_t>(ns.addr.ai_addrlen);
  msg.msg_iov = const_cast<iovec*>(parts.data());
  msg.msg_iovlen = parts.size();
  return sendmsg(ns.sock, &msg, 0);
}

bool is_network_down(int err) {
  return err == ENETDOWN || err == ENETUNREACH || err == ENETRESET || err == EHOSTDOWN || err == EHOSTUNREACH;
}
