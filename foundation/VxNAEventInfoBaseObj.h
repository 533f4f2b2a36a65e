#pragma once
// VxNAEventInfoBaseObj: base of everything that travels through a queue (kernel
// events, scan objects, abort markers). Items are shared: one lives as long as the
// last queue, thread or record that holds it.
#include <cstdint>

// Delivery bits of VxNAEventInfoBaseObj::flags.
inline constexpr std::uint32_t VX_EVENT_FLAG_POSTED = 0x1;
inline constexpr std::uint32_t VX_EVENT_FLAG_DELIVERABLE_MASK = 0x1 | 0x2 | 0x4;
inline constexpr std::uint32_t VX_EVENT_FLAG_ABORT = 0x8;

class VxNAEventInfoBaseObj {
 public:
  VxNAEventInfoBaseObj() = default;
  VxNAEventInfoBaseObj(std::uint32_t flags, std::uint32_t id) : flags(flags), id(id) {}
  virtual ~VxNAEventInfoBaseObj() = default;

  bool isAbort() const { return (flags & VX_EVENT_FLAG_ABORT) != 0; }
  bool isDeliverable() const { return (flags & VX_EVENT_FLAG_DELIVERABLE_MASK) != 0; }

  std::uint32_t flags = 0;
  std::uint32_t id = 0;
};
