// Which endpoint classes may send which type to whom, and which IDs an
// endpoint may be opened with.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "event/ipc_channel.h"
#include "event/ipc_check.h"
#include "helpers/ipc_test_env.h"
#include "helpers/media_log.h"

namespace {

struct range {
  uint32_t low;
  uint32_t high;
};

struct row {
  uint32_t type;
  std::vector<range> sources;
  std::vector<range> dests;
};

// The rule table as published to the device's other services.
const std::vector<row> kTable = {
    {1, {{0, 255}}, {{256, 511}}},
    {2, {{256, 511}}, {{0, 255}}},
    {3, {{256, 512}, {1024, 1279}}, {{256, 511}}},
    {4, {{256, 512}, {1792, 2047}}, {{512, 512}}},
    {5, {{256, 511}}, {{512, 512}}},
    {6, {{256, 511}, {768, 1023}}, {{512, 512}}},
    {7, {{256, 511}, {768, 1023}, {0xFFFFFFFF, 0xFFFFFFFF}}, {{512, 512}}},
    {8, {{768, 1023}}, {{512, 512}}},
    {9, {{512, 512}}, {{768, 1023}}},
    {10, {{256, 511}}, {{256, 511}}},
    {11, {{256, 511}}, {{512, 512}}},
    {12, {{256, 511}, {1792, 2047}}, {{256, 512}, {1024, 1279}}},
    {13, {{256, 511}, {1792, 2047}, {0xFFFFFFFF, 0xFFFFFFFF}}, {{512, 512}}},
    {14, {{256, 511}}, {{256, 512}, {1024, 1279}}},
    {15, {{0, 255}}, {{256, 511}}},
    {256, {{256, 511}}, {{256, 511}}},
    {257, {{256, 511}}, {{256, 511}}},
};

bool in(const std::vector<range>& ranges, uint32_t id) {
  for (const range& r : ranges) {
    if (id >= r.low && id <= r.high) return true;
  }
  return false;
}

// The edges of every range with their neighbours just outside, and the
// any-source ID, which only two types accept.
std::vector<uint32_t> edges(const std::vector<range>& ranges) {
  std::vector<uint32_t> out = {0xFFFFFFFF};
  for (const range& r : ranges) {
    out.insert(out.end(), {r.low, r.high, r.low - 1, r.high + 1});
  }
  return out;
}

int check(uint32_t type, uint32_t source, uint32_t dest) {
  return IPC_iCheckID(ipc_test::message(type, source, dest, kIpcHeaderSize).data());
}

TEST(IpcValidation, EveryRowAcceptsExactlyItsBoundsForSourceAndDestination) {
  for (const row& r : kTable) {
    for (const uint32_t source : edges(r.sources)) {
      EXPECT_EQ(check(r.type, source, r.dests[0].low), in(r.sources, source) ? 0 : -1)
          << "type " << r.type << " source " << source;
    }
    for (const uint32_t dest : edges(r.dests)) {
      EXPECT_EQ(check(r.type, r.sources[0].low, dest), in(r.dests, dest) ? 0 : -1)
          << "type " << r.type << " dest " << dest;
    }
  }
}

TEST(IpcValidation, UnlistedTypesAreRefusedAndTheOffendingValueLogged) {
  for (const uint32_t type : {0u, 16u, 255u, 258u, 0xFFFFFFFFu}) {
    EXPECT_EQ(check(type, 300, 300), -1) << type;
  }
  media_test::log_capture log;
  EXPECT_EQ(check(16, 300, 300), -1);
  EXPECT_EQ(check(8, 768, 511), -1);
  EXPECT_EQ(log.matching("[func:IPC_iCheckID]").size(), 2u);
  EXPECT_EQ(log.matching("Invalid IPC Target ID [ID=16]").size(), 1u);
  EXPECT_EQ(log.matching("Invalid IPC Target ID [ID=511]").size(), 1u);
  EXPECT_EQ(IPC_iCheckID(nullptr), -3);
}

TEST(IpcOpen, AcceptsOnlyTheOpenableIdRanges) {
  ipc_test::ipc_dir dir;
  media_test::log_capture log;
  for (const uint32_t id : {513u, 767u, 1024u, 1500u, 1791u, 2048u, 0xFFFFFFFFu}) {
    ipc_handle h = 0;
    EXPECT_EQ(IPC_iOpen(id, kIpcModeListen, &h), -3) << id;
    EXPECT_EQ(h, 0) << id;
  }
  EXPECT_EQ(log.matching("Invalid ID [1024]").size(), 1u);
  EXPECT_EQ(log.matching("Invalid ID [4294967295]").size(), 1u);
  for (const uint32_t id : {0u, 255u, 256u, 511u, 512u, 768u, 1023u, 1792u, 2047u}) {
    ipc_test::listener l(id);
    EXPECT_EQ(l.open_result(), 0) << id;
    EXPECT_NE(l.handle(), 0) << id;
  }
}

}  // namespace
