#pragma once
// Registrar: runs registry scripts in the format of the Windows COM registrar
// (".rgs"), registering or unregistering what they describe in the registry
// store (platform/Registry.h).
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {guid} = s 'Class name'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Both'
//         }
//       }
//     }
//   }
//
// Tokens are separated by blanks; a name or value may be quoted with single
// quotes ('' stands for one quote). Roots: HKCR/HKEY_CLASSES_ROOT and
// HKLM/HKEY_LOCAL_MACHINE. A key may carry a default value and a body of
// subkeys and `val name = type value` entries. Types: s (string), d (32-bit
// number, decimal or 0x hexadecimal), b (bytes as hexadecimal digits).
// %NAME% in any name or value is replaced by the replacement of that name
// (names compared without regard to case); %% is one %.
//
// Registration creates every key and sets its values; a ForceRemove key is
// first deleted with its subtree; a Delete key is deleted and nothing else.
// Unregistration removes what registration wrote: a ForceRemove key goes whole,
// a NoRemove key stays (its subkeys are processed), a plain key goes when no
// subkeys are left in it after its own were processed, named values go with it
// or on their own; keys that are already missing are skipped.
//
// The whole script is read before anything is written, so a script that cannot
// be read (DISP_E_EXCEPTION) writes nothing. A registry failure stops at once
// and is returned as HRESULT_FROM_WIN32 of its code.
//
// Thread-safety: one owner at a time; the registry store itself is safe to use
// from any number of registrars and processes.
#include <map>
#include <string>
#include <string_view>

#include "platform/Registry.h"
#include "platform/automation/HResult.h"

namespace platform::automation {

class Registrar {
 public:
  // Scripts run against `registry` (by default the machine's).
  explicit Registrar(platform::Registry registry = {}) : registry_(std::move(registry)) {}

  HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item);
  HRESULT ClearReplacements();

  // Script text in the narrow encoding (UTF-8).
  HRESULT StringRegister(std::string_view script) const;
  HRESULT StringUnregister(std::string_view script) const;

 private:
  HRESULT run(std::string_view script, bool registering) const;

  platform::Registry registry_;
  std::map<std::string, std::string> replacements_;  // upper-cased name -> narrow text
};

}  // namespace platform::automation
