// UDP segmentation offload: one sendmsg carries a run of equal-sized
// datagrams (the last may be shorter), cut apart by the kernel.
#pragma once

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

// Room for the one control message.
using udp_segment_control = char[CMSG_SPACE(sizeof(uint16_t))];

// Asks the kernel to cut msg's payload into datagrams of `segment` bytes.
inline void attach_udp_segment(msghdr& msg, udp_segment_control& control, uint16_t segment) {
  std::memset(control, 0, sizeof control);
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
}
