#include "media/media_sleep.h"

#include <time.h>

#include <cerrno>

void media_sleep_real(unsigned seconds) {
  timespec left{static_cast<time_t>(seconds), 0};
  // Bounded: each interruption only shortens what is left.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

media_sleep_fn media_sleep = media_sleep_real;
