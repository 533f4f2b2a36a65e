#pragma once
// VxNAEvent: an owned event that is reset before it is closed, so that nothing
// still waiting on a stale signal is released by an object being torn down.
#include "platform/Event.h"

class VxNAEvent {
 public:
  explicit VxNAEvent(platform::Event::ResetPolicy policy, bool resetOnClose = true)
      : resetOnClose_(resetOnClose), event_(policy, platform::Event::InitialState::NotSignaled) {}
  ~VxNAEvent() {
    if (resetOnClose_) event_.reset();
  }
  VxNAEvent(const VxNAEvent&) = delete;
  VxNAEvent& operator=(const VxNAEvent&) = delete;

  platform::Event& get() { return event_; }
  void set() { event_.set(); }
  void reset() { event_.reset(); }
  bool isSignaled() { return event_.isSignaled(); }

 private:
  const bool resetOnClose_;
  platform::Event event_;
};
