// The main of every system test binary: enter the sandbox, then run.
#include "harness/harness.h"

#include "avtd-sandbox/reaper.h"
#include "avtd-sandbox/sandbox.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace harness {

void end_on_termination_requests();

namespace {

avtd_sandbox::EnterResult g_entered{avtd_sandbox::Outcome::failed, "sandbox not entered"};

class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (g_entered.outcome == avtd_sandbox::Outcome::not_root) {
      // gtest reports no skipped test when the environment skips them all;
      // CTest recognises a skip by this marker in the output.
      std::printf("[  SKIPPED ] %s\n", g_entered.message.c_str());
      std::fflush(stdout);
      GTEST_SKIP() << g_entered.message;
    }
    ASSERT_EQ(g_entered.outcome, avtd_sandbox::Outcome::entered) << g_entered.message;
  }
};

// Leaves the sandbox as the next case expects it, and shows the syslog of a
// failed case.
class BetweenTests : public ::testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (!sandbox_ready()) {
      return;
    }
    avtd_sandbox::kill_descendants();
    if (info.result() != nullptr && info.result()->Failed()) {
      std::string dump = syslog_dump();
      std::printf("---- captured syslog (%zu lines) ----\n%s---- end of syslog ----\n", syslog_mark(),
                  dump.c_str());
      std::fflush(stdout);
    }
    clear_syslog();
    empty_directory("/tmp");
    empty_directory("/dev/shm");
    reset_link();
  }
};

void end_now(int sig) {
  ::_exit(128 + sig);
}

bool only_listing(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0 || std::strncmp(argv[i], "--gtest_list_tests=", 19) == 0) {
      return true;
    }
  }
  return GTEST_FLAG_GET(list_tests);
}

} // namespace

void end_on_termination_requests() {
  struct sigaction action{};
  action.sa_handler = end_now;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(sig, &action, nullptr);
  }
}

bool sandbox_ready() {
  return g_entered.outcome == avtd_sandbox::Outcome::entered;
}

} // namespace harness

int main(int argc, char** argv) {
  // Decide before gtest parses (and removes) its own flags.
  const bool listing = harness::only_listing(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  if (!listing && !GTEST_FLAG_GET(list_tests)) {
    // The programs under test stay reachable even from a checkout below /tmp.
    harness::g_entered = avtd_sandbox::enter({AVTD_SOURCE_DIR, AVTD_BIN_DIR});
    if (harness::g_entered.outcome == avtd_sandbox::Outcome::failed) {
      std::fprintf(stderr, "%s\n", harness::g_entered.message.c_str());
    }
    if (harness::sandbox_ready()) {
      // As init of the sandbox this process would ignore termination
      // requests it has no handler for; a test run must still stop on them.
      harness::end_on_termination_requests();
    }
  }
  ::testing::AddGlobalTestEnvironment(new harness::SandboxEnvironment);
  ::testing::UnitTest::GetInstance()->listeners().Append(new harness::BetweenTests);
  return RUN_ALL_TESTS();
}
