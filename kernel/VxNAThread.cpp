#include "kernel/VxNAThread.h"

#include <iomanip>
#include <utility>

#include "foundation/VxLogStream.h"
#include "platform/ComApartment.h"
#include "platform/Thread.h"

namespace {
constexpr wchar_t kLogSource[] = L"VxNAThread";
}

CVxNAThread::CVxNAThread(bool initCom) : initCom_(initCom) {}

CVxNAThread::~CVxNAThread() = default;

std::uint32_t CVxNAThread::Start(const std::wstring& name, std::shared_ptr<void> keepAlive) {
  std::lock_guard guard(lock_);
  if (thread_ != nullptr) {
    // A thread that already ended on its own (its body returned) is reaped so
    // that the object can run again; a running one makes Start a no-op.
    if (!bodyReturned_->load() && !thread_->hasEnded()) return 0;
    thread_->join();
    thread_.reset();
  }
  name_ = name;
  auto thread = std::make_unique<platform::Thread>();
  auto bodyReturned = std::make_shared<std::atomic<bool>>(false);
  const bool initCom = initCom_;
  const std::uint32_t error = thread->start(
      [this, name, initCom, bodyReturned, keepAlive = std::move(keepAlive)]() mutable {
        ThreadEntry(this, name, initCom);
        bodyReturned->store(true);
        keepAlive.reset();
      });
  if (error != 0) return error;
  thread_ = std::move(thread);
  bodyReturned_ = std::move(bodyReturned);
  return 0;
}

void CVxNAThread::ThreadEntry(CVxNAThread* self, const std::wstring& name, bool initCom) {
  if (self == nullptr) return;
  if (initCom) {
    const std::int32_t hr = platform::enterMultithreadedApartment();
    if (hr < 0) {
      VX_LOG(VX_LOG_ERROR, L"CVxNAThread::ThreadProc")
          << L"Failed on calling CoInitializeEx, hr = " << std::hex << std::uppercase
          << std::setw(8) << std::setfill(L'0') << static_cast<std::uint32_t>(hr);
      return;
    }
  }
  VX_LOG(VX_LOG_NORMAL, L"CVxNAThread::ThreadProc") << L"Entering thread loop " << name;
  self->ThreadProc();
  VX_LOG(VX_LOG_NORMAL, L"CVxNAThread::ThreadProc") << L"Exited thread loop " << name;
  if (initCom) platform::leaveApartment();
}

void CVxNAThread::Stop() {
  std::unique_ptr<platform::Thread> thread;
  std::wstring name;
  {
    std::lock_guard guard(lock_);
    if (thread_ == nullptr) return;
    thread = std::move(thread_);
    name = name_;
  }
  TerminateMyThread();
  // A thread that stops itself cannot wait for its own end.
  const bool ended = !thread->isCurrentThread() && thread->waitFor(kStopWait);
  if (ended) {
    VX_LOG(VX_LOG_NORMAL, L"CVxNAThread::Stop")
        << L"Wait for " << name << L" thread handle was successful";
    thread->join();
  } else {
    VX_LOG(VX_LOG_WARNING, L"CVxNAThread::Stop")
        << L"Wait for " << name << L" timed out - terminating thread";
    thread->detach();
  }
}

void CVxNAThread::Reap() {
  std::unique_ptr<platform::Thread> thread;
  {
    std::lock_guard guard(lock_);
    if (thread_ == nullptr) return;
    thread = std::move(thread_);
  }
  if (!thread->isCurrentThread() && thread->waitFor(kStopWait)) {
    thread->join();
  } else {
    thread->detach();
  }
}

bool CVxNAThread::hasThread() const {
  std::lock_guard guard(lock_);
  return thread_ != nullptr;
}

std::uint32_t CVxNAThread::threadId() const {
  std::lock_guard guard(lock_);
  return thread_ != nullptr ? thread_->id() : 0;
}
