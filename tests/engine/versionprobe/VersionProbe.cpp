// A module with a product version record of its own, 1.2.3.4, and nothing else.
#include "engine/VxProductVersion.h"

extern "C" __attribute__((visibility("default"), used)) const platform::ModuleVersionRecord
    vx_product_version = makeModuleVersionRecord(1, 2, 3, 4);
