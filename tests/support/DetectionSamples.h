#pragma once
// The contents the default data set detects: the standard anti-virus test file and
// the product's own virus, trojan and PUP markers.
//
// They are put together at run time, so that neither a source nor a test program
// holds one whole: a scan of the running processes would otherwise find the test
// program itself while it runs (and a scan that cleans would remove it).
#include <initializer_list>
#include <string>
#include <string_view>

namespace vxtest {

[[gnu::noinline]] inline std::string joinedAtRunTime(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (std::string_view piece : pieces) text += piece;
  return text;
}

inline std::string testFileContent() {
  return joinedAtRunTime({"X5O!P%@AP[4\\PZX54(P^)7CC)7}$", "EICAR-STANDARD-", "ANTIVIRUS-TEST-FILE!$H+H*"});
}
inline std::string virusMarker() {
  return joinedAtRunTime({"QELDA-SELFTEST-", "VIRUS-MARKER-", "7f3c9a1e-b2d4-4e8a-9c61-0d5e2f7a8b34"});
}
inline std::string trojanMarker() {
  return joinedAtRunTime({"QELDA-SELFTEST-", "TROJAN-MARKER-", "4a81d2c7-93e6-4f0b-a5d8-6c2e1b9f7034"});
}
inline std::string pupMarker() {
  return joinedAtRunTime({"QELDA-SELFTEST-", "PUP-MARKER-", "c5e09b3f-18a2-4d7c-b6f4-2e9a0d8c1357"});
}

}  // namespace vxtest
