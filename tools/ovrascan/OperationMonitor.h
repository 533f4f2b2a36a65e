#pragma once
// OperationMonitor: follows one operation of the virus-scan object from the host's
// side. It makes the callback object the host registers (a script object with
// Progress, OnError and OnComplete), shows each object done on a ProgressDisplay,
// counts the detections, and lets the host wait for the end.
//
// It also decides when a Ctrl-C becomes a Cancel: an interrupt that comes before
// the operation has started is remembered and acted on when it starts, and only
// one Cancel is ever sent. The object is never called with the monitor's lock
// held: the callbacks arrive with the component's own locks taken.
//
// The callback object keeps the monitor's state alive, so an event that comes late
// (the object's disconnect notice on its release, for instance) finds it intact.
//
// Thread-safety: every method may be called from any thread at once; the callbacks
// come on the component's threads.
#include <cstdint>
#include <memory>

#include "platform/automation/ComPtr.h"
#include "platform/automation/Dispatch.h"

class ProgressDisplay;

class OperationMonitor {
 public:
  struct Outcome {
    enum class Kind { Completed, Cancelled, Failed } kind = Kind::Completed;
    std::uint32_t error = 0;  // the OnError code when Failed
  };

  explicit OperationMonitor(std::shared_ptr<ProgressDisplay> display);

  // The callback object to Register; null when memory ran out.
  platform::automation::com_ptr<IDispatch> callbackObject() const;

  // The object accepted the operation. True when an interrupt came first and the
  // caller must now send the Cancel.
  bool started();
  // A Ctrl-C. True when the caller must send the Cancel now; false when the
  // operation has not started yet (started() will ask for it), is over, or a Cancel
  // was already asked for.
  bool interrupt();
  // An interrupt came before the operation ended (one after its end is ignored).
  bool interrupted() const;

  // Blocks until OnComplete or OnError.
  Outcome wait() const;

  // Objects reported infected or cleaned so far.
  std::uint32_t detections() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};
