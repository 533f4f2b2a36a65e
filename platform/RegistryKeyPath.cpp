#include "platform/RegistryKeyPath.h"

#include <locale.h>
#include <wctype.h>

#include "platform/ErrorCodes.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

// The C.UTF-8 locale for its case table; the process's own locale may be "C",
// which upper-cases ASCII only. Made once, never changed, so shared freely.
locale_t caseLocale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

wchar_t upper(wchar_t c) {
  if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  // The escaped bytes of names that are not UTF-8 keep their value.
  if (c >= 0xDC80 && c <= 0xDCFF) return c;
  const locale_t locale = caseLocale();
  return locale == static_cast<locale_t>(nullptr) ? c : static_cast<wchar_t>(::towupper_l(static_cast<wint_t>(c), locale));
}

}  // namespace

std::string foldRegistryName(std::string_view name) {
  std::wstring wide = decodeUtf8(name.data(), name.size());
  for (wchar_t& c : wide) c = upper(c);
  return encodeUtf8(wide.data(), wide.size());
}

std::string RegistryKeyPath::foldedPrefix(std::size_t count) const {
  std::string path;
  for (std::size_t i = 0; i < count && i < folded.size(); ++i) {
    if (i > 0) path += '\\';
    path += folded[i];
  }
  return path;
}

std::uint32_t parseRegistryKeyPath(std::string_view key, RegistryKeyPath& path) {
  path = RegistryKeyPath{};
  if (key.ends_with('\\')) key.remove_suffix(1);
  if (key.empty()) return 0;
  for (std::size_t start = 0;;) {
    const std::size_t end = key.find('\\', start);
    const std::string_view component = key.substr(start, end == std::string_view::npos ? key.npos : end - start);
    if (component.empty()) return kErrorInvalidParameter;
    path.components.emplace_back(component);
    path.folded.push_back(foldRegistryName(component));
    if (end == std::string_view::npos) return 0;
    start = end + 1;
  }
}

}  // namespace platform
