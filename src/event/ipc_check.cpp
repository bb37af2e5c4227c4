#include "event/ipc_check.h"

#include <array>
#include <cstddef>

#include "event/ipc_bytes.h"
#include "event/ipc_defs.h"
#include "event/ipc_log.h"

namespace {

struct id_range {
  uint32_t low = 1;
  uint32_t high = 0; // an empty range unless set
  constexpr bool holds(uint32_t id) const { return id >= low && id <= high; }
};

struct type_rule {
  uint32_t type;
  std::array<id_range, 3> source;
  std::array<id_range, 2> dest;
};

constexpr id_range kClassLow{0, 255};
constexpr id_range kClassMid{256, 511};
constexpr id_range kClassMidAndService{256, 512};
constexpr id_range kService{512, 512};
constexpr id_range kMetadata{768, 1023};
constexpr id_range kClassHigh{1024, 1279};
constexpr id_range kClassTop{1792, 2047};
constexpr id_range kAny{0xFFFFFFFFu, 0xFFFFFFFFu};

// Every bound is inclusive and exact: 512 lies in 256..512 but not in 256..511.
constexpr std::array<type_rule, 17> kRules{{
    {1, {kClassLow}, {kClassMid}},
    {2, {kClassMid}, {kClassLow}},
    {3, {kClassMidAndService, kClassHigh}, {kClassMid}},
    {4, {kClassMidAndService, kClassTop}, {kService}},
    {5, {kClassMid}, {kService}},
    {6, {kClassMid, kMetadata}, {kService}},
    {7, {kClassMid, kMetadata, kAny}, {kService}},
    {8, {kMetadata}, {kService}},
    {9, {kService}, {kMetadata}},
    {10, {kClassMid}, {kClassMid}},
    {11, {kClassMid}, {kService}},
    {12, {kClassMid, kClassTop}, {kClassMidAndService, kClassHigh}},
    {13, {kClassMid, kClassTop, kAny}, {kService}},
    {14, {kClassMid}, {kClassMidAndService, kClassHigh}},
    {15, {kClassLow}, {kClassMid}},
    {256, {kClassMid}, {kClassMid}},
    {257, {kClassMid}, {kClassMid}},
}};

template <size_t N>
bool any_holds(const std::array<id_range, N>& ranges, uint32_t id) {
  for (const id_range& r : ranges) {
    if (r.holds(id)) {
      return true;
    }
  }
  return false;
}

} // namespace

int ipc_check_ids(uint32_t type, uint32_t source_id, uint32_t dest_id, uint32_t* offending) {
  for (const type_rule& rule : kRules) {
    if (rule.type != type) {
      continue;
    }
    if (!any_holds(rule.source, source_id)) {
      *offending = source_id;
      return kIpcInvalid;
    }
    if (!any_holds(rule.dest, dest_id)) {
      *offending = dest_id;
      return kIpcInvalid;
    }
    return 0;
  }
  *offending = type;
  return kIpcInvalid;
}

int IPC_iCheckID(const void* msg) {
  if (msg == nullptr) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  const ipc_header h = ipc_read_header(static_cast<const unsigned char*>(msg));
  uint32_t offending = 0;
  const int result = ipc_check_ids(h.type, h.source_id, h.dest_id, &offending);
  if (result != 0) {
    IPC_LOG("Invalid IPC Target ID [ID=%u]\n", offending);
  }
  return result;
}

bool ipc_open_id_allowed(uint32_t id) {
  return id <= 511 || id == kIpcEventServiceId || kMetadata.holds(id) || kClassTop.holds(id);
}
