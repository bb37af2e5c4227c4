// The steps of entering the sandbox; each returns an empty string or why it
// failed.
#pragma once

#include "avtd-sandbox/sandbox.h"

#include <string>
#include <vector>

namespace avtd_sandbox {

// Private mounts; fresh /proc, /tmp, /run, /dev (with its nodes) and /sys;
// the host directories in `keep` bound back at their paths.
std::string setup_mounts(const std::vector<std::string>& keep);

// Creates the peer namespace (held by the returned descriptor via *peer_fd
// and mounted at kPeerNetnsPath), the veth pair and addresses, and waits
// until both ends are usable. The caller is already in its own fresh network
// namespace. `nic` sets eth0's segmentation offload.
std::string setup_network(int* peer_fd, Nic nic);

} // namespace avtd_sandbox
