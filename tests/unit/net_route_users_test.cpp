// Streams to one multicast group share its host route: only the last of
// them to end may remove it. That the first of two to end leaves the route
// and the last takes it and its lock file along is shown by the many-streams
// system test; here the cases it does not reach.
#include "net/route_users.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

constexpr char kGroup[] = "239.1.2.3";

class RouteUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/route_users_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_dir_ = g_route_lock_dir;
    g_route_lock_dir = dir_.c_str();
  }
  void TearDown() override {
    g_route_lock_dir = saved_dir_;
    std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  const char* saved_dir_ = nullptr;
};

TEST_F(RouteUsersTest, OtherGroupsDevicesAndUnicastDoNotShareTheRoute) {
  RouteUsers group;
  RouteUsers other_group;
  RouteUsers other_device;
  RouteUsers unicast;
  group.join(inet_addr(kGroup), "eth0");
  other_group.join(inet_addr("239.1.2.4"), "eth0");
  other_device.join(inet_addr(kGroup), "eth1");
  unicast.join(inet_addr("198.51.100.2"), "eth0");
  EXPECT_TRUE(other_group.last_user());
  EXPECT_TRUE(other_device.last_user());
  EXPECT_TRUE(unicast.last_user());
  EXPECT_TRUE(group.last_user());
  unicast.release();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 3)
      << "one lock file per group and device, none for unicast";
}

TEST_F(RouteUsersTest, StreamJoiningWhileTheLastOneRemovesTheRouteCountsAnew) {
  RouteUsers leaving;
  leaving.join(inet_addr(kGroup), "eth0");
  ASSERT_TRUE(leaving.last_user());
  // The newcomer waits while the route is being removed, then holds a lock
  // file of its own that a later stream shares with it.
  RouteUsers newcomer;
  std::thread joining([&] { newcomer.join(inet_addr(kGroup), "eth0"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  leaving.release();
  joining.join();
  RouteUsers later;
  later.join(inet_addr(kGroup), "eth0");
  EXPECT_FALSE(newcomer.last_user());
  EXPECT_TRUE(later.last_user());
}

TEST_F(RouteUsersTest, WithoutALockFileTheStreamCountsAsAlone) {
  g_route_lock_dir = "/nonexistent/route_users_test";
  RouteUsers users;
  users.join(inet_addr(kGroup), "eth0");
  EXPECT_TRUE(users.last_user());
}

} // namespace
