/* LD_PRELOAD library for the benchmark: the process sees a kernel without
 * UDP segmentation offload (asking for the UDP_SEGMENT option fails with
 * ENOPROTOOPT, as on kernels before 4.18), so the daemon measures its one
 * send per packet path. Everything else goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#ifndef SOL_UDP
#define SOL_UDP 17
#endif
#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

typedef int (*getsockopt_fn)(int, int, int, void*, socklen_t*);

int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
  static getsockopt_fn real = 0;
  if (level == SOL_UDP && name == UDP_SEGMENT) {
    errno = ENOPROTOOPT;
    return -1;
  }
  if (real == 0) real = (getsockopt_fn)dlsym(RTLD_NEXT, "getsockopt");
  return real(fd, level, name, value, length);
}
