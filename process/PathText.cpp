#include "process/PathText.h"

namespace vxprocess {

bool hasEmbeddedNul(std::wstring_view text) { return text.find(L'\0') != std::wstring_view::npos; }

bool isProgramPath(std::wstring_view path) {
  return !hasEmbeddedNul(path) && path.find(L'"') == std::wstring_view::npos;
}

std::wstring printable(std::wstring_view text) {
  std::wstring shown;
  shown.reserve(text.size());
  for (const wchar_t c : text) {
    if (c == L'\0') {
      shown += L"\\0";
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace vxprocess
