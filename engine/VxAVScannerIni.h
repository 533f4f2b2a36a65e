#pragma once
// The settings file "AVScanner.ini" beside the host executable: where it lies, how a
// value is read from it and how the engine settings are formed from it.
//
// A value counts only when it has 1 to 1021 characters (read with a buffer of 1024
// wide characters); otherwise the caller's default applies. Numbers read like
// atoi: optional leading blanks and sign, digits up to the first other character,
// 0 without digits, clamped to the 32-bit range.
//
// Stateless; safe from any thread. The file is read anew on every call.
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/VxNAResult.h"

inline constexpr char kAVScannerIniName[] = "AVScanner.ini";

// The folder of the host executable; 1627 when it is unknown or empty.
VxNAResult<std::string> findHostFolder();

// folder + "/" + "AVScanner.ini".
std::string avScannerIniPath(const std::string& hostFolder);

// The value of section/key in the settings file of hostFolder, when it counts.
std::optional<std::wstring> readAVScannerIniValue(const std::string& hostFolder,
                                                  const std::wstring& section,
                                                  const std::wstring& key);

std::int32_t parseSignedDecimal(const std::wstring& text);

// The engine settings as the settings file gives them; data-set paths are the host
// folder + "/" + the file name, formed even when the name is empty.
struct VxAVEngineSettings {
  std::uint32_t productId = 0;
  std::uint32_t productLocale = 1033;
  std::string engineFolder;
  std::string namesPath;
  std::string scanPath;
  std::string cleanPath;
};

// Product id and locale only.
void readProductInfo(const std::string& hostFolder, VxAVEngineSettings& settings);
// Engine folder and the three data-set paths.
void readDataSetPaths(const std::string& hostFolder, VxAVEngineSettings& settings);
