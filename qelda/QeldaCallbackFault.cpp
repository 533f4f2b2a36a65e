#include "qelda/QeldaCallbackFault.h"

#include <exception>
#include <new>

namespace qelda {

CallbackFault currentFault() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return CallbackFault::OutOfMemory;
  } catch (...) {
    return CallbackFault::Unexpected;
  }
}

}  // namespace qelda
