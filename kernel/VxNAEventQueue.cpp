#include "kernel/VxNAEventQueue.h"

#include <array>

VxNAEventQueue::VxNAEventQueue() = default;

void VxNAEventQueue::post(std::shared_ptr<VxNAEventInfoBaseObj> item) {
  if (item == nullptr) return;
  std::lock_guard postGuard(postLock_);
  item->flags |= VX_EVENT_FLAG_POSTED;
  std::lock_guard laneGuard(normal_.lock);
  normal_.items.push_back(std::move(item));
  normal_.event.set();
}

void VxNAEventQueue::postAbort() {
  auto marker = std::make_shared<VxNAEventInfoBaseObj>(VX_EVENT_FLAG_ABORT, 0);
  std::lock_guard laneGuard(priority_.lock);
  priority_.items.push_front(std::move(marker));
  priority_.event.set();
}

std::shared_ptr<VxNAEventInfoBaseObj> VxNAEventQueue::pop(Lane& lane) {
  std::lock_guard guard(lane.lock);
  std::shared_ptr<VxNAEventInfoBaseObj> item;
  if (!lane.items.empty()) {
    item = std::move(lane.items.front());
    lane.items.pop_front();
  }
  if (lane.items.empty()) lane.event.reset();
  return item;
}

std::shared_ptr<VxNAEventInfoBaseObj> VxNAEventQueue::wait() {
  if (auto item = pop(priority_)) return item;
  const std::array<platform::Event*, 2> handles{&priority_.event.get(), &normal_.event.get()};
  for (;;) {
    const std::size_t signalled = platform::Event::waitAny(handles);
    if (auto item = pop(signalled == 0 ? priority_ : normal_)) return item;
  }
}

void VxNAEventQueue::clear() {
  for (Lane* lane : {&priority_, &normal_}) {
    std::lock_guard guard(lane->lock);
    lane->items.clear();
    lane->event.reset();
  }
}
