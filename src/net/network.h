// Network layer: one stream socket's parameters, socket preparation for
// unicast and multicast over IPv4 and IPv6, interface queries, the waiting
// send and receive wrappers, and the option checks that parsing uses.
#pragma once

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int kProtocolTcp = 0; // rtp_tcp: interleaved on a handed-over connection
inline constexpr int kProtocolUdp = 1; // rtp_udp

struct network_setting {
  int sock = -1;
  char host[46] = {};     // destination text; IPv6 when it contains ':'
  uint32_t dstport = 0;
  uint32_t srcport = 0;
  uint32_t ttl = 0;
  uint32_t tos = 0;
  int mtu = 0;
  int protocol = 0;       // kProtocolUdp or kProtocolTcp
  struct addrinfo addr = {}; // ai_addr points at the owner's destination buffer
  char device[16] = {};
};

// Multicast tests on destination text.
int is_ipv6_multicast(const char* text);   // first two characters each 'f'/'F'
bool is_ipv4_multicast_text(const char* text); // first octet 224..239
// `address` is an inet_addr() value (network order): first octet 224..239.
bool is_ipv4_multicast_addr(uint32_t address);
// Unicast unless the destination is an IPv6 or IPv4 multicast address.
bool is_multicast_host(const char* host);

int prepare_network(network_setting* ns);
int cleanup_network(network_setting* ns);
int ipv4_sock_setting(network_setting* ns);
int ipv6_sock_setting(network_setting* ns);

int get_mtu(network_setting* ns);
uint32_t get_ip(const char* devname);
void get_hwaddr(unsigned char hwaddr[6], const char* device);

ssize_t safe_send(int fd, const void* buf, size_t len, int flags, const struct timeval* timeout);
ssize_t safe_recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from, socklen_t fromlen,
                      const struct timeval* timeout);
// Sends all the parts on a stream socket, resuming after partial sends, until
// they are out or timeout_ms has passed; never blocks past it. Returns the
// bytes sent: all of them, or fewer when the time ran out (errno ETIMEDOUT)
// or the send failed (errno set); a stream connection then holds a cut packet.
inline constexpr size_t kMaxSendParts = 4;
size_t send_all_within(int fd, std::span<const iovec> parts, int timeout_ms);

// Option checks used by analyze_options.
int check_device(const char* device);
int check_ipv4_host(const char* host);
int check_ipv6_host(const char* host);
