// Ovrascan.idl is the source of truth for the type library: the identities in
// OvrascanLib.h and the dispatch table of IVxVirusScan must agree with it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "component/OvrascanLib.h"
#include "component/VxVirusScanDispatchTable.h"

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

std::vector<IdlMethod> dispatchMethods(const std::string& body) {
  static const std::regex method(R"(\[id\((\d+)\)[^\]]*\]\s*HRESULT\s+(\w+)\(([^)]*)\);)");
  static const std::regex parameter(R"(\s*\[([^\]]*)\]\s*([\w ]+?)\s*(\*?)\s*\w+\s*)");
  std::vector<IdlMethod> methods;
  for (std::sregex_iterator it(body.begin(), body.end(), method), end; it != end; ++it) {
    IdlMethod m{(*it)[2], static_cast<DISPID>(std::stoi((*it)[1])), {}, VT_EMPTY};
    std::stringstream parameters((*it)[3]);
    for (std::string one; std::getline(parameters, one, ',');) {
      // "[out, retval]" holds a comma: rejoin the attribute list.
      if (one.find('[') != std::string::npos && one.find(']') == std::string::npos) {
        std::string rest;
        std::getline(parameters, rest, ',');
        one += "," + rest;
      }
      std::smatch parts;
      if (!std::regex_match(one, parts, parameter)) {
        ADD_FAILURE() << "unreadable parameter: " << one;
        continue;
      }
      const VARTYPE type = automationType(parts[2]);
      if (parts[1].str().find("retval") != std::string::npos) {
        m.retval = type;
      } else {
        m.in.push_back(type);
      }
    }
    methods.push_back(std::move(m));
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
  };
  for (const auto& [declaration, guid] : identities) {
    EXPECT_EQ(uuidBefore(idl, declaration), narrow(platform::automation::formatGuid(guid))) << declaration;
  }
}

TEST(TypeLibrary, DispatchTableAgreesWithTheIdl) {
  const auto declared = dispatchMethods(interfaceBody(readIdl(), "IVxVirusScan"));
  const auto& table = virusScanDispatchTable();
  ASSERT_TRUE(table.consistent());
  ASSERT_EQ(declared.size(), table.members().size());
  for (std::size_t i = 0; i < declared.size(); ++i) {
    const auto& member = table.members()[i];
    SCOPED_TRACE(declared[i].name);
    EXPECT_EQ(narrow(member.name), declared[i].name);
    EXPECT_EQ(member.id, declared[i].id);
    EXPECT_EQ(member.parameters, declared[i].in);
    EXPECT_EQ(member.retval, declared[i].retval);
    // DISPID n is vtable slot n + 6: the table's order is the interface's.
    EXPECT_EQ(member.id, static_cast<DISPID>(i + 1));
  }
}

}  // namespace
