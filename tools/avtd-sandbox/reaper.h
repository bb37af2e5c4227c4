// Clearing away processes left behind: as a child subreaper, every daemon a
// test started ends up as our child once its parent is gone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <vector>

namespace avtd_sandbox {

// Every live process whose ancestry leads to `root` (not `root` itself).
std::vector<pid_t> descendants_of(pid_t root);

// SIGKILLs every descendant of this process and reaps them, within the
// budget. Returns how many were still there at the end (0 when all gone).
size_t kill_descendants(std::chrono::milliseconds budget = std::chrono::seconds(2));

} // namespace avtd_sandbox
