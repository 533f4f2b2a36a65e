#pragma once
// IdlTypeLibrary: what registering a type library needs to know about it, read
// from the library's IDL source. A module carries its IDL as its type library,
// so the identities the registry records are the ones the IDL declares.
//
// The reader understands the declarations of an IDL file, not the members: the
// `library` with its uuid, version, lcid and helpstring, and every `interface`,
// `dispinterface` and `coclass` with its uuid, attributes and (for interfaces)
// base. Comments, imports, forward declarations, typedefs and member lists are
// skipped. A declaration that needs a uuid and has none, a malformed uuid or
// version, or a second library makes the file unreadable.
//
// Values and pure functions; safe from any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/Guid.h"

namespace platform::automation {

struct IdlInterface {
  std::wstring name;
  IID iid = IID_NULL;
  std::wstring base;  // empty for a dispinterface
  bool dispinterface = false;
  bool dual = false;
  bool oleAutomation = false;
};

struct IdlCoclass {
  std::wstring name;
  CLSID clsid = CLSID_NULL;
  std::wstring helpString;
};

struct IdlTypeLibrary {
  std::wstring name;
  GUID libid = IID_NULL;
  WORD majorVersion = 0;
  WORD minorVersion = 0;
  LCID lcid = 0;
  std::wstring helpString;
  std::vector<IdlInterface> interfaces;
  std::vector<IdlCoclass> coclasses;
};

// The library the IDL text declares, or nullopt when it declares none or cannot
// be read (see above).
std::optional<IdlTypeLibrary> readIdlTypeLibrary(std::string_view idl);

}  // namespace platform::automation
