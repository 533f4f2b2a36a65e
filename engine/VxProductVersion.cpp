#include "engine/VxProductVersion.h"

// Default visibility even in modules built with hidden symbols: the record is found
// by name in the loaded module. "used" keeps it when nothing in the module reads it.
extern "C" __attribute__((visibility("default"), used)) const platform::ModuleVersionRecord
    vx_product_version = makeModuleVersionRecord(kVxProductVersionMajor, kVxProductVersionMinor,
                                                 kVxProductVersionBuild, kVxProductVersionRevision);
