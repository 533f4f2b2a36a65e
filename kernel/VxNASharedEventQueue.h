#pragma once
// VxNASharedEventQueue: one FIFO of scan objects drained by several scan threads.
//
// A sticky push (the abort item) is never removed: from then on every pop, by any
// consumer, returns it, and items queued before it are no longer delivered, until
// clear() runs. That is how one push stops every worker of a kernel.
//
// clear() also starts a new generation. A consumer learns the generation of the
// item it took and can ask later whether a clear has happened since: an item
// taken just before a cancel emptied the queue belongs to the cancelled pass.
//
// Thread-safety: all members may be called from any thread; several consumers
// may wait at once. Waiting happens outside the lock.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "kernel/VxNAEvent.h"
#include "foundation/VxNAEventInfoBaseObj.h"
#include "platform/RecursiveMutex.h"

class VxNASharedEventQueue {
 public:
  VxNASharedEventQueue();
  VxNASharedEventQueue(const VxNASharedEventQueue&) = delete;
  VxNASharedEventQueue& operator=(const VxNASharedEventQueue&) = delete;

  // A null item is ignored. sticky makes the item the abort item.
  void push(std::shared_ptr<VxNAEventInfoBaseObj> item, bool sticky);
  // The abort item once set; else the front item, or null when empty.
  std::shared_ptr<VxNAEventInfoBaseObj> tryPop(std::uint64_t* generation = nullptr);
  // Blocks until an item or the abort item may be there; null after a wake-up
  // whose item another consumer took (callers simply wait again).
  std::shared_ptr<VxNAEventInfoBaseObj> waitPop(std::uint64_t* generation = nullptr);
  // Drops pending items and the abort item; starts a new generation.
  void clear();
  // Drops pending items but keeps the abort item; starts a new generation. A
  // cancel empties the queue this way, so that a cancel racing a teardown never
  // takes the stop signal away from workers that have not seen it yet.
  void dropPending();
  std::uint64_t generation();

 private:
  platform::RecursiveMutex lock_;
  std::deque<std::shared_ptr<VxNAEventInfoBaseObj>> items_;
  std::shared_ptr<VxNAEventInfoBaseObj> sticky_;
  VxNAEvent itemEvent_;   // auto-reset: one waiter per signal
  VxNAEvent abortEvent_;  // manual-reset: releases every waiter
  // Written under lock_; read without it by generation(), which every scanned
  // object asks for.
  std::atomic<std::uint64_t> generation_{0};
};
