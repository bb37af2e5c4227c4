/* The kernels of the field (and one badly timed stop) as one process sees them, for the benchmark (as
 * an LD_PRELOAD library, set by environment variables read at load time)
 * and for tests (linked in, set through kernel_faults):
 *   AVTD_NO_UDP_SEGMENT=1  asking for the UDP_SEGMENT option fails with
 *                          ENOPROTOOPT, as on kernels before 4.18;
 *   AVTD_REFUSE_UDP_SEGMENT_AFTER=N  the first N sends that carry a
 *                          UDP_SEGMENT size pass, later ones fail with EIO,
 *                          as on a route whose device cannot checksum;
 *   AVTD_NO_SENDMMSG=1     sendmmsg fails with ENOSYS;
 *   AVTD_TERM_AFTER_CREATE=PREFIX  the first file created (open with
 *                          O_CREAT) whose path begins with PREFIX is
 *                          followed at once by a SIGTERM to the process: a
 *                          stop that lands inside a start-up step.
 * Everything else goes to the C library. */
#define _GNU_SOURCE
#include "preload_kernel_faults.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#ifndef SOL_UDP
#define SOL_UDP 17
#endif
#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

struct kernel_faults_config kernel_faults = {0, -1, 0, 0};
static const char* term_after_create = NULL;

static long env_number(const char* name, long otherwise) {
  const char* text = getenv(name);
  return text != NULL && *text != '\0' ? strtol(text, NULL, 10) : otherwise;
}

__attribute__((constructor)) static void read_environment(void) {
  kernel_faults.no_udp_segment = env_number("AVTD_NO_UDP_SEGMENT", 0) != 0;
  kernel_faults.refuse_udp_segment_after = env_number("AVTD_REFUSE_UDP_SEGMENT_AFTER", -1);
  kernel_faults.no_sendmmsg = env_number("AVTD_NO_SENDMMSG", 0) != 0;
  term_after_create = getenv("AVTD_TERM_AFTER_CREATE");
}

static void* next_symbol(const char* name) { return dlsym(RTLD_NEXT, name); }

int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
  static int (*real)(int, int, int, void*, socklen_t*) = NULL;
  if (level == SOL_UDP && name == UDP_SEGMENT && kernel_faults.no_udp_segment) {
    errno = ENOPROTOOPT;
    return -1;
  }
  if (real == NULL) real = (int (*)(int, int, int, void*, socklen_t*))next_symbol("getsockopt");
  return real(fd, level, name, value, length);
}

static int carries_udp_segment(const struct msghdr* msg) {
  for (struct cmsghdr* c = CMSG_FIRSTHDR((struct msghdr*)msg); c != NULL; c = CMSG_NXTHDR((struct msghdr*)msg, c)) {
    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_SEGMENT) return 1;
  }
  return 0;
}

ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
  static ssize_t (*real)(int, const struct msghdr*, int) = NULL;
  if (kernel_faults.refuse_udp_segment_after >= 0 && msg->msg_controllen > 0 && carries_udp_segment(msg)) {
    if (kernel_faults.segmented_sends >= kernel_faults.refuse_udp_segment_after) {
      errno = EIO;
      return -1;
    }
    ++kernel_faults.segmented_sends;
  }
  if (real == NULL) real = (ssize_t (*)(int, const struct msghdr*, int))next_symbol("sendmsg");
  return real(fd, msg, flags);
}

int sendmmsg(int fd, struct mmsghdr* msgs, unsigned int count, int flags) {
  static int (*real)(int, struct mmsghdr*, unsigned int, int) = NULL;
  if (kernel_faults.no_sendmmsg) {
    errno = ENOSYS;
    return -1;
  }
  if (real == NULL) real = (int (*)(int, struct mmsghdr*, unsigned int, int))next_symbol("sendmmsg");
  return real(fd, msgs, count, flags);
}

static int open_then_term(const char* symbol, const char* path, int flags, va_list rest) {
  static int done = 0;
  const char* prefix = term_after_create;
  const int takes_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const mode_t mode = takes_mode ? (mode_t)va_arg(rest, int) : 0;
  int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))next_symbol(symbol);
  const int fd = real(path, flags, mode);
  if (fd >= 0 && !done && (flags & O_CREAT) != 0 && prefix != NULL && *prefix != '\0' &&
      strncmp(path, prefix, strlen(prefix)) == 0) {
    done = 1;
    kill(getpid(), SIGTERM);
  }
  return fd;
}

/* Where large-file names are in force (32-bit builds) the header makes open
 * another name of open64. */
#ifndef __USE_FILE_OFFSET64
int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = open_then_term("open", path, flags, rest);
  va_end(rest);
  return fd;
}
#endif

int open64(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = open_then_term("open64", path, flags, rest);
  va_end(rest);
  return fd;
}
