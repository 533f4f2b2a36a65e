#pragma once
// VxNAEventQueue: the kernel thread's private inbox. Any thread may post; only the
// owning thread waits. Two lanes: the normal lane carries posted work in posting
// order; the priority lane carries the abort marker, which always comes out first.
#include <deque>
#include <memory>
#include <mutex>

#include "kernel/VxNAEvent.h"
#include "foundation/VxNAEventInfoBaseObj.h"

class VxNAEventQueue {
 public:
  VxNAEventQueue();
  VxNAEventQueue(const VxNAEventQueue&) = delete;
  VxNAEventQueue& operator=(const VxNAEventQueue&) = delete;

  // Marks the item posted (flag 0x1) and appends it to the normal lane.
  void post(std::shared_ptr<VxNAEventInfoBaseObj> item);
  // Puts a fresh abort marker (flag 0x8) at the front of the priority lane.
  void postAbort();
  // Blocks until an item is available; the abort marker wins over normal items.
  std::shared_ptr<VxNAEventInfoBaseObj> wait();
  // Drops everything still queued on both lanes.
  void clear();

 private:
  struct Lane {
    Lane() : event(platform::Event::ResetPolicy::Manual) {}
    std::deque<std::shared_ptr<VxNAEventInfoBaseObj>> items;
    VxNAEvent event;  // signalled while the lane holds items
    std::mutex lock;
  };

  static std::shared_ptr<VxNAEventInfoBaseObj> pop(Lane& lane);

  std::mutex postLock_;
  Lane priority_;
  Lane normal_;
};
