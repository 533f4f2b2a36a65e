// Reading the declarations of an IDL file for type library registration.
#include <gtest/gtest.h>

#include "platform/automation/IdlTypeLibrary.h"

namespace {

using platform::automation::readIdlTypeLibrary;

TEST(IdlTypeLibrary, ReadsTheLibraryItsInterfacesAndClasses) {
  const char* idl = R"(
// A comment with a { brace and a "quote.
import "oaidl.idl";
[object, uuid(00000000-0000-0000-0000-0000000000A1), oleautomation]
interface IOutside : IUnknown { HRESULT M([in] int x); };
[
  uuid(00000000-0000-0000-0000-0000000000B1),
  version(2.10),
  lcid(0x0409),
  helpstring("Say \"hi\" /* not a comment */")
]
library TestLib
{
  importlib("stdole2.tlb");
  interface IInside;
  /* [uuid(00000000-0000-0000-0000-000000000000)] interface Hidden : IUnknown {}; */
  [uuid(00000000-0000-0000-0000-0000000000C1), helpstring("Thing Class")]
  coclass Thing { [default] interface IInside; };
  [object, uuid(00000000-0000-0000-0000-0000000000A2), dual, nonextensible]
  interface IInside : IDispatch { [id(1)] HRESULT Go([out, retval] VARIANT* v); };
  [uuid(00000000-0000-0000-0000-0000000000A3)]
  dispinterface DEvents { properties: methods: [id(1)] void Fired(); };
  typedef enum Kind { A = 0, B = 1 } Kind;
};
)";
  const auto library = readIdlTypeLibrary(idl);
  ASSERT_TRUE(library);
  EXPECT_EQ(library->name, L"TestLib");
  EXPECT_EQ(platform::automation::formatGuid(library->libid), L"{00000000-0000-0000-0000-0000000000B1}");
  EXPECT_EQ(library->majorVersion, 2);
  EXPECT_EQ(library->minorVersion, 10);
  EXPECT_EQ(library->lcid, 0x409u);
  EXPECT_EQ(library->helpString, L"Say \"hi\" /* not a comment */");

  ASSERT_EQ(library->interfaces.size(), 3u);
  const auto& outside = library->interfaces[0];
  EXPECT_EQ(outside.name, L"IOutside");
  EXPECT_EQ(outside.base, L"IUnknown");
  EXPECT_TRUE(outside.oleAutomation);
  EXPECT_FALSE(outside.dual);
  const auto& inside = library->interfaces[1];
  EXPECT_EQ(inside.name, L"IInside");
  EXPECT_TRUE(inside.dual);
  EXPECT_EQ(platform::automation::formatGuid(inside.iid), L"{00000000-0000-0000-0000-0000000000A2}");
  EXPECT_TRUE(library->interfaces[2].dispinterface);

  ASSERT_EQ(library->coclasses.size(), 1u);
  EXPECT_EQ(library->coclasses[0].name, L"Thing");
  EXPECT_EQ(library->coclasses[0].helpString, L"Thing Class");
}

TEST(IdlTypeLibrary, RefusesWhatItCannotRead) {
  const char* cases[] = {
      "",
      "interface I : IUnknown;",                                                      // no library
      "[uuid(00000000-0000-0000-0000-0000000000B1)] library L { /* open",            // open comment
      "[uuid(00000000-0000-0000-0000-0000000000B1), helpstring(\"open] library L {};",  // open string
      "library L {};",                                                                // library without uuid
      "[uuid(not-a-guid)] library L {};",
      "[uuid(00000000-0000-0000-0000-0000000000B1), version(one)] library L {};",
      "[uuid(00000000-0000-0000-0000-0000000000B1), lcid(0xZZ)] library L {};",
      "[uuid(00000000-0000-0000-0000-0000000000B1)] library L { interface I : IUnknown { }; };",  // no uuid
      "[uuid(00000000-0000-0000-0000-0000000000B1)] library L { coclass C { }; };",
      "[uuid(00000000-0000-0000-0000-0000000000B1)] library L {}; "
      "[uuid(00000000-0000-0000-0000-0000000000B2)] library M {};",  // two libraries
      "[uuid(00000000-0000-0000-0000-0000000000B1)] library L { typedef enum E { A } E",  // unfinished
      "[uuid(00000000-0000-0000-0000-0000000000B1) library L {};",                        // open attributes
  };
  for (const char* idl : cases) EXPECT_FALSE(readIdlTypeLibrary(idl)) << idl;
}

}  // namespace
