#pragma once
// getAVEngine: the kernel's way to a started engine. It reads the engine settings
// from "AVScanner.ini" beside the host executable, configures a CVxAVEngineConfig
// with them, starts it and hands out the engine, which stays open while any holder
// keeps the reference.
//
// Failures: 1627 when the host folder is unknown or an object comes back empty,
// else the code of the first failing step (binding, configuration, start).
//
// Safe from any thread; every call starts an engine instance of its own.
#include <memory>
#include <string>

#include "engine/IVxAVEngine.h"
#include "foundation/VxNAResult.h"

VxNAResult<std::shared_ptr<IVxAVEngine>> getAVEngine();
// The same with the settings file of the given folder in place of the host
// executable's (hosts that keep it elsewhere, tests).
VxNAResult<std::shared_ptr<IVxAVEngine>> getAVEngine(const std::string& hostFolder);
