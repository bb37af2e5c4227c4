// The benchmark's runs. Each fills the figures of one sender for one
// repetition; false (with a message) when the run could not be measured.
#pragma once

#include <string>
#include <vector>

#include "context.h"

namespace bench {

// A sender other than the daemon, as a command line.
struct external_sender {
  std::string row; // its row in the table
  std::vector<std::string> argv;
  bool reports_itself = false; // prints its own send-loop figures (the floor)
};

external_sender floor_sender(const context& ctx, bool paced, const std::string& mode = "sendto");
external_sender gstreamer_sender(const context& ctx, bool paced);
external_sender ffmpeg_sender(const context& ctx, bool paced);

// As fast as it goes: the whole unpaced clip, and the start-up figures.
bool run_unpaced_external(context& ctx, const external_sender& s, figures& f, std::string& error);
// The daemon: frame-feeder --unpaced into a store that holds the whole clip.
bool run_unpaced_daemon(context& ctx, const std::string& row, figures& f, std::string& error);

// Paced at the clip's own rate. A reader of the store (the daemon, or with
// `echo` store_echo: one small datagram per block, the floor) also gives
// the latency from publication to the last packet of each unit.
bool run_paced_external(context& ctx, const external_sender& s, figures& f, std::string& error);
bool run_paced_reader(context& ctx, bool echo, figures& f, std::string& error);

// CPU of a command from its start to its end (start-up references).
bool run_to_end(context& ctx, const std::vector<std::string>& argv, const std::string& row, double& cpu_ms,
                std::string& error);

// `count` daemons on one channel of the ~8 Mbit/s clip; their total CPU as a
// share of one core over `seconds`.
bool run_streams(context& ctx, int count, int seconds, double& core_percent, std::string& error);

} // namespace bench
