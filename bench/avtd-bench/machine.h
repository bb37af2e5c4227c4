// What the machine charges for the two things a process start and a send
// path are made of, measured in-process: a system call that does nothing,
// and a page fault on fresh anonymous memory.
#pragma once

namespace bench {

struct machine_costs {
  double syscall_us = 0;
  double page_fault_us = 0;
};

machine_costs measure_machine();

} // namespace bench
