#pragma once
// The automation boundary speaks HRESULTs: memory running out inside one of its
// functions (a std::bad_alloc from a container or a string) is answered with
// E_OUTOFMEMORY, never with an exception that a caller across the boundary
// could not catch.
//
//   return outOfMemoryAsHResult([&] { ...; return S_OK; });
#include <new>
#include <utility>

#include "platform/automation/HResult.h"

namespace platform::automation {

template <class Body>
HRESULT outOfMemoryAsHResult(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace platform::automation
