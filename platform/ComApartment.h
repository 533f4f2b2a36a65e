#pragma once
// Entering and leaving the multithreaded object apartment of a worker thread.
// Linux has no apartments: every thread can call every object, so entering always
// succeeds. The calls stay so that a Windows build enters a real apartment.
#include <cstdint>

namespace platform {

// 0 (S_OK) on success, else a failure HRESULT.
std::int32_t enterMultithreadedApartment();
void leaveApartment();

}  // namespace platform
