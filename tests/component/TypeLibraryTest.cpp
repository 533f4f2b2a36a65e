// Ovrascan.idl is the source of truth for the type library: the identities in
// OvrascanLib.h and the dispatch table of IVxVirusScan must agree with it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "component/OvrascanLib.h"
#include "component/OvrascanResources.h"
#include "platform/automation/IdlTypeLibrary.h"
#include "component/VxVirusScanDispatchTable.h"
#include "suspicious/VxSuspiciousScanDispatchTable.h"

namespace {

struct IdlMethod {
  std::string name;
  DISPID id = 0;
  std::vector<VARTYPE> in;
  VARTYPE retval = VT_EMPTY;
};

std::string readIdl() {
  std::ifstream file(OVRASCAN_IDL);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

VARTYPE automationType(std::string type) {
  static const std::map<std::string, VARTYPE> types{
      {"VARIANT", VT_VARIANT}, {"BSTR", VT_BSTR}, {"unsigned int", VT_UINT}, {"VARIANT_BOOL", VT_BOOL}};
  auto found = types.find(type);
  return found == types.end() ? static_cast<VARTYPE>(0xFFFF) : found->second;
}

// The body of `interface Name : Base { ... };`.
std::string interfaceBody(const std::string& idl, const std::string& name) {
  const auto start = idl.find("interface " + name + " :");
  if (start == std::string::npos) return {};
  const auto open = idl.find('{', start);
  return idl.substr(open + 1, idl.find("};", open) - open - 1);
}

// The uuid in the attribute block just before `keyword name`.
std::string uuidBefore(const std::string& idl, const std::string& declaration) {
  const auto at = idl.find(declaration);
  const auto uuid = idl.rfind("uuid(", at);
  if (at == std::string::npos || uuid == std::string::npos) return {};
  return "{" + idl.substr(uuid + 5, 36) + "}";
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// Splits at commas outside brackets: "[out, retval]" stays whole.
std::vector<std::string> splitParameters(const std::string& list) {
  std::vector<std::string> parts;
  std::string current;
  int depth = 0;
  for (char c : list) {
    depth += c == '[' ? 1 : c == ']' ? -1 : 0;
    if (c == ',' && depth == 0) {
      parts.push_back(trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!trim(current).empty()) parts.push_back(trim(current));
  return parts;
}

// "[attributes] type [*]name" -> attributes, type without the pointer.
void readParameter(const std::string& text, IdlMethod& method) {
  const auto close = text.find(']');
  ASSERT_NE(close, std::string::npos) << text;
  const std::string attributes = text.substr(1, close - 1);
  std::string declaration = trim(text.substr(close + 1));
  declaration = trim(declaration.substr(0, declaration.find_last_of(" *")));  // drop the name
  if (!declaration.empty() && declaration.back() == '*') declaration = trim(declaration.substr(0, declaration.size() - 1));
  const VARTYPE type = automationType(declaration);
  if (attributes.find("retval") != std::string::npos) {
    method.retval = type;
  } else {
    method.in.push_back(type);
  }
}

std::vector<IdlMethod> dispatchMethods(const std::string& body) {
  std::vector<IdlMethod> methods;
  for (auto at = body.find("[id("); at != std::string::npos; at = body.find("[id(", at + 1)) {
    IdlMethod method;
    method.id = static_cast<DISPID>(std::stoi(body.substr(at + 4)));
    const auto nameStart = body.find("HRESULT ", at) + 8;
    const auto open = body.find('(', nameStart);
    const auto close = body.find(");", open);
    method.name = trim(body.substr(nameStart, open - nameStart));
    for (const auto& parameter : splitParameters(body.substr(open + 1, close - open - 1))) {
      readParameter(parameter, method);
    }
    methods.push_back(std::move(method));
  }
  return methods;
}

std::string narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

TEST(TypeLibrary, IdentitiesAgreeWithTheIdl) {
  const std::string idl = readIdl();
  ASSERT_FALSE(idl.empty()) << OVRASCAN_IDL;
  const std::pair<const char*, GUID> identities[] = {
      {"library OvrascanLib", LIBID_OvrascanLib},
      {"coclass CoCVxVirusScan", CLSID_CoCVxVirusScan},
      {"interface IVxVirusScan :", IID_IVxVirusScan},
      {"interface IVxVirusScan_Callback :", IID_IVxVirusScan_Callback},
      {"coclass VxSuspiciousScan", CLSID_VxSuspiciousScan},
      {"interface IVxSuspiciousScan :", IID_IVxSuspiciousScan},
      {"interface IVxSuspiciousCallback :", IID_IVxSuspiciousCallback},
  };
  for (const auto& [declaration, guid] : identities) {
    EXPECT_EQ(uuidBefore(idl, declaration), narrow(platform::automation::formatGuid(guid))) << declaration;
  }
}

TEST(TypeLibrary, DispatchTablesAgreeWithTheIdl) {
  const std::pair<const char*, const platform::automation::DispatchTable*> interfaces[] = {
      {"IVxVirusScan", &virusScanDispatchTable()},
      {"IVxSuspiciousScan", &suspiciousScanDispatchTable()},
  };
  for (const auto& [name, table] : interfaces) {
    SCOPED_TRACE(name);
    const auto declared = dispatchMethods(interfaceBody(readIdl(), name));
    ASSERT_TRUE(table->consistent());
    ASSERT_EQ(declared.size(), table->members().size());
    for (std::size_t i = 0; i < declared.size(); ++i) {
      const auto& member = table->members()[i];
      SCOPED_TRACE(declared[i].name);
      EXPECT_EQ(narrow(member.name), declared[i].name);
      EXPECT_EQ(member.id, declared[i].id);
      EXPECT_EQ(member.parameters, declared[i].in);
      EXPECT_EQ(member.retval, declared[i].retval);
      // DISPID n is vtable slot n + 6: the table's order is the interface's.
      EXPECT_EQ(member.id, static_cast<DISPID>(i + 1));
    }
  }
}

}  // namespace

namespace {

// The type library the module carries, as registration reads it.
TEST(TypeLibrary, TheModulesResourceReadsAsTheLibrary) {
  const auto library = platform::automation::readIdlTypeLibrary(ovrascanTypeLibraryResource());
  ASSERT_TRUE(library);
  EXPECT_EQ(library->name, L"OvrascanLib");
  EXPECT_EQ(library->libid, LIBID_OvrascanLib);
  EXPECT_EQ(library->majorVersion, 1);
  EXPECT_EQ(library->minorVersion, 0);
  EXPECT_EQ(library->lcid, 0x0409u);
  EXPECT_EQ(library->helpString, L"Ovrascan 1.0 Type Library");
  struct Expected {
    const wchar_t* name;
    IID iid;
    bool automation;  // dual and oleautomation; the callbacks are neither
  };
  const Expected interfaces[] = {{L"IVxVirusScan", IID_IVxVirusScan, true},
                                 {L"IVxVirusScan_Callback", IID_IVxVirusScan_Callback, false},
                                 {L"IVxSuspiciousScan", IID_IVxSuspiciousScan, true},
                                 {L"IVxSuspiciousCallback", IID_IVxSuspiciousCallback, false}};
  ASSERT_EQ(library->interfaces.size(), std::size(interfaces));
  for (std::size_t i = 0; i < std::size(interfaces); ++i) {
    EXPECT_EQ(library->interfaces[i].name, interfaces[i].name);
    EXPECT_EQ(library->interfaces[i].iid, interfaces[i].iid) << i;
    EXPECT_EQ(library->interfaces[i].dual, interfaces[i].automation) << i;
    EXPECT_EQ(library->interfaces[i].oleAutomation, interfaces[i].automation) << i;
  }
  ASSERT_EQ(library->coclasses.size(), 2u);
  EXPECT_EQ(library->coclasses[0].clsid, CLSID_CoCVxVirusScan);
  EXPECT_EQ(library->coclasses[0].helpString, L"CoCVxVirusScan Class");
  EXPECT_EQ(library->coclasses[1].clsid, CLSID_VxSuspiciousScan);
  EXPECT_EQ(library->coclasses[1].helpString, L"VxSuspiciousScan Class");
}

}  // namespace
