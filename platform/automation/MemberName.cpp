#include "platform/automation/MemberName.h"

#include <cwctype>

namespace platform::automation {

bool memberNamesEqual(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

}  // namespace platform::automation
