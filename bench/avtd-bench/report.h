// The table: medians over the repetitions with their range, ratios against
// the floor of the same repetition, and the targets.
#pragma once

#include <cstdio>

#include "context.h"
#include "machine.h"

namespace bench {

struct report_setup {
  double frame_buffer_mib = 0; // the daemon's frame buffer (the store's largest frame)
  int paced_seconds = 0;
  int streams_seconds = 0;
  std::vector<int> stream_counts;
  machine_costs machine;
};

void print_report(std::FILE* out, const context& ctx, const results& r, const report_setup& setup);

} // namespace bench
