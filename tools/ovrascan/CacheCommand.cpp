#include "tools/ovrascan/CacheCommand.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "qelda/QeldaCompiledRulesFile.h"
#include "qelda/QeldaPrivateFile.h"
#include "qelda/QeldaVerdictCacheFile.h"
#include "tools/ovrascan/Diagnostics.h"

namespace {

// The engine library the component loaded; looked up, never loaded here.
constexpr char kEngineLibrary[] = "libqelda64a.so";
constexpr char kHitsSymbol[] = "QeldaCacheHits";
constexpr char kOffReasonSymbol[] = "QeldaCacheOffReason";

}  // namespace

int CacheCommand::run(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1 || arguments[0] != "clear") {
    Diagnostics::error("usage: ovrascan cache clear");
    return kError;
  }
  const std::string path = qelda::verdictCacheFilePath();
  // The compiled rules go too: clearing is what one does when in doubt.
  qelda::removePrivateFile({}, qelda::kCompiledRulesFileName);
  if (const int error = qelda::clearVerdicts({}); error != 0) {
    Diagnostics::error("cannot clear the scan cache " + path + ": " + std::strerror(error));
    return kError;
  }
  std::printf("Cleared the scan cache %s\n", path.c_str());
  return kDone;
}

std::optional<CacheCommand::State> CacheCommand::stateInThisProcess() {
  void* library = ::dlopen(kEngineLibrary, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return std::nullopt;
  using HitsFunction = std::uint64_t (*)();
  using OffReasonFunction = std::uint64_t (*)(char*, std::uint64_t);
  const auto hits = reinterpret_cast<HitsFunction>(::dlsym(library, kHitsSymbol));
  const auto offReason = reinterpret_cast<OffReasonFunction>(::dlsym(library, kOffReasonSymbol));
  std::optional<State> state;
  if (hits != nullptr) {
    state.emplace();
    state->hits = hits();
    if (offReason != nullptr) {
      char text[1024] = {};
      if (offReason(text, sizeof text) != 0) state->offReason = text;
    }
  }
  ::dlclose(library);
  return state;
}
