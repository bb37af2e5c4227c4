// Placeholder until socket preparation lands.
#include "net/network.h"
int is_ipv6_multicast(const char*) { return 0; }
bool is_ipv4_multicast_text(const char*) { return false; }
bool is_multicast_host(const char*) { return false; }
int prepare_network(network_setting*) { return -1; }
int cleanup_network(network_setting*) { return -1; }
int ipv4_sock_setting(network_setting*) { return -1; }
int ipv6_sock_setting(network_setting*) { return -1; }
int get_mtu(network_setting*) { return -1; }
uint32_t get_ip(const char*) { return 0xFFFFFFFFu; }
void get_hwaddr(unsigned char[6], const char*) {}
ssize_t safe_send(int, const void*, size_t, int, const struct timeval*) { return -1; }
ssize_t safe_recvfrom(int, void*, size_t, int, struct sockaddr*, socklen_t, const struct timeval*) { return -1; }
int check_device(const char*) { return -3; }
int check_ipv4_host(const char*) { return -1; }
int check_ipv6_host(const char*) { return -1; }
