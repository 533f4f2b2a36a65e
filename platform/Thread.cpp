#include "platform/Thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

#include "platform/Event.h"

namespace platform {

Thread::Thread() = default;

Thread::~Thread() {
  if (!thread_.joinable()) return;
  if (hasEnded() && !isCurrentThread()) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

std::uint32_t Thread::start(std::function<void()> body) {
  auto ended = std::make_shared<Event>(Event::ResetPolicy::Manual,
                                       Event::InitialState::NotSignaled);
  Event started(Event::ResetPolicy::Manual, Event::InitialState::NotSignaled);
  std::uint32_t id = 0;
  try {
    thread_ = std::thread([body = std::move(body), ended, &started, &id] {
      id = currentThreadId();
      started.set();
      body();
      ended->set();
    });
  } catch (const std::system_error& error) {
    return static_cast<std::uint32_t>(error.code().value());
  }
  started.wait();
  id_ = id;
  ended_ = std::move(ended);
  return 0;
}

bool Thread::waitFor(std::chrono::milliseconds timeout) {
  return ended_ == nullptr || ended_->waitFor(timeout);
}

bool Thread::hasEnded() const { return ended_ == nullptr || ended_->isSignaled(); }

bool Thread::isCurrentThread() const {
  return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

void Thread::join() {
  if (thread_.joinable()) thread_.join();
}

void Thread::detach() {
  if (thread_.joinable()) thread_.detach();
}

std::uint32_t currentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

void sleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace platform
