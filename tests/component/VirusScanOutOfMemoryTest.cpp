// Memory running out inside the object's methods, its callback face and the
// automation calls that reach them: every allocation on each path fails once in
// turn, and each time the caller gets the boundary's own answer (status 8 from
// an IVxVirusScan method, E_OUTOFMEMORY from Invoke and the callback face)
// instead of an exception, and the object keeps working.
#include <functional>
#include <vector>

#include <gmock/gmock.h>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"
#include "tests/component/FailingAllocation.h"
#include "tests/component/VirusScanFixture.h"

namespace vxtest {
namespace {

using platform::automation::UniqueVariant;

class VirusScanOutOfMemoryTest : public VirusScanTest {
 protected:
  // Calls the method through Invoke, n-th allocation failing; records what came back.
  struct Answer {
    HRESULT hr = E_UNEXPECTED;
    VARTYPE vt = VT_EMPTY;
    std::uint32_t status = 0;
  };
  bool invokeFailing(std::size_t n, const wchar_t* method, const std::vector<VARIANT>& arguments, Answer& answer) {
    UniqueVariant result;
    const bool failed = withNthAllocationFailing(
        n, [&] { answer.hr = platform::automation::invokeByName(*object, method, arguments, result.get()); });
    answer.vt = result->vt;
    answer.status = result->vt == VT_UINT ? result->uintVal : 0;
    return failed;
  }
};

struct StatusCase {
  const wchar_t* method;
  std::function<void()> prepare;  // normal calls before
  std::function<std::vector<VARIANT>()> arguments;
  std::vector<std::uint32_t> statuses;  // what a run that had its memory may answer
};

TEST_F(VirusScanOutOfMemoryTest, StatusMethodsAnswer8) {
  const auto configured = [this] { ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u); };
  const auto scanned = [this] {
    ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u);
    ASSERT_EQ(scan(1), 0u);
  };
  const auto none = [] { return std::vector<VARIANT>{}; };
  const StatusCase cases[] = {
      {L"Register", nullptr, [this] { return std::vector{script.asVariant()}; }, {0}},
      {L"SetConfig", nullptr, [this] { return std::vector{text(L"<scanconfig/>")}; },
       {0}},
      {L"Scan", configured, [this] { return std::vector{number(2)}; }, {0}},
      {L"CleanFile", configured, [this] { return std::vector{text(L"/obj/a")}; }, {0}},
      {L"Clean", scanned, none, {0}},
      {L"Cancel", scanned, none, {0}},
      {L"Uninitialize", scanned,
       [this] { return std::vector{flag(VARIANT_TRUE)}; },
       {0, VX_E_NOT_INITIALIZED}},
  };
  std::size_t outOfMemory = 0;  // answers that said so, over all cases
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(VxNATypeConversion::wideBufferToAnsiString(c.method));
    TearDown();
    SetUp();
    if (c.prepare) c.prepare();
    const std::vector<VARIANT> arguments = c.arguments();
    forEachAllocationFailing([&](std::size_t n) {
      Answer answer;
      const bool failed = invokeFailing(n, c.method, arguments, answer);
      if (answer.hr == E_OUTOFMEMORY || (answer.hr == S_OK && answer.status == ERROR_NOT_ENOUGH_MEMORY)) {
        ++outOfMemory;
      } else {
        EXPECT_EQ(answer.hr, S_OK) << "allocation " << n;
        EXPECT_EQ(answer.vt, VT_UINT) << "allocation " << n;
        EXPECT_THAT(c.statuses, ::testing::Contains(answer.status)) << "allocation " << n;
      }
      return failed;
    });
    // Still whole: a plain call works, and log statements still get through.
    capture->clear();
    EXPECT_EQ(version(1).hr, S_OK);
    EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::GetVersion successful"));
  }
  // Some paths only lose log lines when memory runs out; others must say so.
  EXPECT_GT(outOfMemory, 0u);
}

TEST_F(VirusScanOutOfMemoryTest, TextMethodsAnswerE_OUTOFMEMORY) {
  ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u);
  ASSERT_EQ(scan(1), 0u);
  for (const wchar_t* method : {L"GetReport", L"GetVersion"}) {
    SCOPED_TRACE(VxNATypeConversion::wideBufferToAnsiString(method));
    const std::vector<VARIANT> arguments{number(1)};
    forEachAllocationFailing([&](std::size_t n) {
      Answer answer;
      const bool failed = invokeFailing(n, method, arguments, answer);
      if (answer.hr != E_OUTOFMEMORY) {
        EXPECT_EQ(answer.hr, S_OK) << "allocation " << n;
        EXPECT_EQ(answer.vt, VT_BSTR) << "allocation " << n;
      }
      return failed;
    });
  }
}

TEST_F(VirusScanOutOfMemoryTest, CallbackFaceAnswersE_OUTOFMEMORYAndTheScriptHearsLaterEvents) {
  ASSERT_EQ(registerScript(script), 0u);
  IVxVirusScan_Callback& face = *object;
  platform::automation::UniqueBstr name(std::wstring(L"/obj/with/a/name/longer/than/any/short/string/buffer"));
  const std::function<HRESULT()> events[] = {
      [&] { return face.Progress(name.get(), AV_OBJECT_STATUS_OK, 50); },
      [&] { return face.OnError(87); },
      [&] { return face.OnComplete(AV_OPERATION_RESULT_COMPLETED); },
  };
  for (const auto& event : events) {
    forEachAllocationFailing([&](std::size_t n) {
      HRESULT hr = E_UNEXPECTED;
      const bool failed = withNthAllocationFailing(n, [&] { hr = event(); });
      EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << "allocation " << n << ": " << std::hex << hr;
      return failed;
    });
  }
  const std::size_t heard = script.count(L"Progress");
  EXPECT_EQ(face.Progress(name.get(), AV_OBJECT_STATUS_OK, 100), S_OK);
  EXPECT_EQ(script.count(L"Progress"), heard + 1);
}

}  // namespace
}  // namespace vxtest
