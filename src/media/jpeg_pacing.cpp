#include "media/jpeg_pacing.h"

#include <climits>
#include <cmath>

namespace {

// Truncation toward zero that saturates instead of overflowing: a target of
// 0 makes R / T infinite, which must mean "drop everything" on every CPU.
int trunc_to_int(float x) {
  if (std::isnan(x)) return 0;
  if (x >= static_cast<float>(INT_MAX)) return INT_MAX;
  if (x <= static_cast<float>(INT_MIN)) return INT_MIN;
  return static_cast<int>(x);
}

// Send one picture in every `period`: drop period - 1, then send.
bool one_in(int period, int* drop_count) {
  if (static_cast<long long>(*drop_count) < static_cast<long long>(period) - 1) {
    ++*drop_count;
    return false;
  }
  *drop_count = 0;
  return true;
}

}  // namespace

float jpeg_target_rate(int framerate_option, int session_rate) {
  const float option = static_cast<float>(framerate_option);
  const float session = static_cast<float>(session_rate);
  if (option <= session) return framerate_option == 7 ? 7.5f : option;
  return session;
}

bool jpeg_pace(float source, float target, int* drop_count) {
  if (source <= target) return true;
  if (target < 0.0f) {
    const float every = std::fabs(std::trunc(target));
    return one_in(trunc_to_int(source * every), drop_count);
  }
  if (target == 1.0f) {
    if (static_cast<float>(*drop_count) < source - 1.0f) {
      ++*drop_count;
      return false;
    }
    *drop_count = 0;
    return true;
  }
  if (source > 2.0f * target) return one_in(trunc_to_int(source / target), drop_count);
  // target < source <= 2 * target: send k pictures, then drop one.
  const float ratio = source / target;
  const float excess = ratio - 1.0f;
  const int k = trunc_to_int(1.0f / excess);
  if (*drop_count < k) {
    ++*drop_count;
    return true;
  }
  *drop_count = 0;
  return false;
}
