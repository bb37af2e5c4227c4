// A range of pids of its own for every sandbox running at the same time.
//
// Each sandbox is a PID namespace, and every namespace counts its pids from 1
// on. Scripts that name files after their pid ($$) in a directory shared by
// parallel sandboxes (the build tree) would then collide. So each sandbox
// claims a free range (a lock file held for its life) and starts counting
// there.
#pragma once

namespace avtd_sandbox {

inline constexpr int kPidRangeSize = 1024;
inline constexpr char kPidRangeLockDir[] = "/run/lock/avtd-sandbox";

// Claims a range before entering (the lock directory must be the host's);
// returns its first pid, or 0 when none could be claimed. The lock is held
// by a descriptor that is closed on exec only, so it lasts as long as this
// process and the ones it forks without exec.
int claim_pid_range();

// Makes the next pid of the current PID namespace `first` (its /proc must be
// mounted). False if the kernel refused.
bool start_pids_at(int first);

} // namespace avtd_sandbox
