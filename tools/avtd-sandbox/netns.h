// Running a piece of code inside another network namespace.
//
// Network namespaces belong to threads, so the code runs on a short-lived
// thread that joins the namespace first; the calling thread is untouched.
// Sockets created there stay in that namespace for their whole life.
#pragma once

#include <functional>
#include <string>

namespace avtd_sandbox {

// Runs fn on a thread inside the network namespace `netns_fd` and waits for
// it. Returns an empty string, or why the namespace could not be joined (fn
// is then not run). Exceptions thrown by fn are passed on to the caller.
std::string run_in_netns(int netns_fd, const std::function<void()>& fn);

// run_in_netns on the sandbox's peer namespace; throws std::runtime_error
// when the sandbox was not entered or the namespace cannot be joined.
void run_in_peer(const std::function<void()>& fn);

} // namespace avtd_sandbox
