#include "platform/ComApartment.h"

namespace platform {

std::int32_t enterMultithreadedApartment() { return 0; }

void leaveApartment() {}

}  // namespace platform
