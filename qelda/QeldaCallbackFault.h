/*
 * What went wrong inside a function that libyara called back. libyara is C: an
 * exception thrown through it would skip its clean-up and leave the scanner in a
 * state no later scan may see. So every callback catches what it could throw,
 * notes it here and returns the failure libyara understands (a null block,
 * CALLBACK_ERROR); the scan then ends as that object's scan error.
 */
#ifndef QELDA_CALLBACK_FAULT_H
#define QELDA_CALLBACK_FAULT_H

namespace qelda {

enum class CallbackFault {
  None,
  OutOfMemory,  // std::bad_alloc
  Unexpected,   // any other exception
};

// The fault of the exception being handled; call only inside a catch block.
CallbackFault currentFault() noexcept;

}  // namespace qelda

#endif
