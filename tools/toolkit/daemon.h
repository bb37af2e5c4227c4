// The programs around the daemon as the tools, tests and benchmarks find
// them: the built executables, the test clips, and the pid file the daemon
// writes for a command line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace toolkit {

// Full path of a built executable, e.g. bin("avtd") -> ".../build/bin/avtd".
std::string bin(std::string_view name);

// Full path of a file in the source tree.
std::string source_path(std::string_view relative);

// A clip of scripts/make-test-media.sh ("h264.264", "mjpeg_std.mjpeg",
// "mpeg4.m4v", "tone.ulaw", ...), made once beside the binaries; runs side
// by side may make them at the same moment, and the script keeps what is
// there, so a second try finishes the job. Empty when it cannot be made.
std::string test_clip(std::string_view name);

// IPv4 class D or IPv6 ff00::/8, by the text.
bool is_multicast(std::string_view host);

// The daemon's pid file for a command line ("--datatype=h264(2)",
// "--host=...", "--session_id=N" as given): /var/run/avtd_<session>.pid for
// unicast, avtd_metadata_<session>.pid for unicast metadata,
// avtd_channel<n>.pid for multicast video, channel3 for multicast audio,
// channel4 for multicast metadata. Without --session_id the stream has the
// id the session daemon gave it, `registered_session`.
std::string daemon_pid_file(const std::vector<std::string>& args, int registered_session = 1);

} // namespace toolkit
