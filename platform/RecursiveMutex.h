#pragma once
// The lock every component guards its state with. Like a Win32 mutex it may be
// taken again by the thread that holds it, which the kernel relies on (its scanner
// preparation runs under the kernel lock and calls routines that take it again).
#include <mutex>

namespace platform {

using RecursiveMutex = std::recursive_mutex;
using RecursiveLock = std::unique_lock<std::recursive_mutex>;

}  // namespace platform
