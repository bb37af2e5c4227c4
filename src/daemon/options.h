// The command line: every stream parameter comes from it.
#pragma once

struct rtp_thread;
struct rtcp_thread;

// Fills both records from the long options. 0 when the command line is
// complete and valid, -1 otherwise (after its message and, for some
// refusals, the usage text). Never exits. The records must hold their
// defaults already (session_id -1, the RTCP interleaved channel 1).
int analyze_options(int argc, char* argv[], rtp_thread* thread, rtcp_thread* rtcp);

// The usage text on standard error, flushed.
void show_usage(char* argv[]);

// The syslog mask the command line chose (all priorities unless --log).
int chosen_log_mask();
