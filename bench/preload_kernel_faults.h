/* What preload_kernel_faults.c makes the kernel refuse; tests that link it
 * in set these directly. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

struct kernel_faults_config {
  int no_udp_segment;           /* getsockopt(UDP_SEGMENT) fails */
  long refuse_udp_segment_after; /* segmented sends that pass (-1: all) */
  int no_sendmmsg;              /* sendmmsg fails */
  long segmented_sends;         /* segmented sends passed so far */
};

extern struct kernel_faults_config kernel_faults;

#ifdef __cplusplus
}
#endif
