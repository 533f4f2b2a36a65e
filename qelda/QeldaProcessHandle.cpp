#include "qelda/QeldaProcessHandle.h"

#include <algorithm>
#include <string_view>

namespace qelda {
namespace {

constexpr std::string_view kProc = "/proc/";

bool allOf(std::string_view text, bool (*accept)(char)) {
  return !text.empty() && std::all_of(text.begin(), text.end(), accept);
}

bool isDecimal(char c) { return c >= '0' && c <= '9'; }

bool isHex(char c) { return isDecimal(c) || (c >= 'a' && c <= 'f'); }

// The pid folder's length ("/proc/<pid>") when `path` starts with one followed by
// a slash; 0 otherwise.
std::size_t processPrefix(std::string_view path) {
  if (!path.starts_with(kProc)) return 0;
  const std::size_t slash = path.find('/', kProc.size());
  if (slash == std::string_view::npos || !allOf(path.substr(kProc.size(), slash - kProc.size()), isDecimal)) return 0;
  return slash;
}

bool isAddressRange(std::string_view name) {
  const std::size_t dash = name.find('-');
  return dash != std::string_view::npos && allOf(name.substr(0, dash), isHex) &&
         allOf(name.substr(dash + 1), isHex);
}

}  // namespace

bool isMappedFileHandle(const std::string& path) {
  const std::size_t prefix = processPrefix(path);
  if (prefix == 0) return false;
  const std::string_view rest = std::string_view(path).substr(prefix);
  constexpr std::string_view kMapFiles = "/map_files/";
  if (rest == "/exe") return true;
  return rest.starts_with(kMapFiles) && isAddressRange(rest.substr(kMapFiles.size()));
}

bool splitProcessRootPath(const std::string& path, std::string& process, std::string& inside) {
  const std::size_t prefix = processPrefix(path);
  if (prefix == 0) return false;
  const std::string_view rest = std::string_view(path).substr(prefix);
  constexpr std::string_view kRoot = "/root";
  if (!rest.starts_with(kRoot) || (rest.size() > kRoot.size() && rest[kRoot.size()] != '/')) return false;
  process = path.substr(0, prefix);
  inside = rest.size() > kRoot.size() ? std::string(rest.substr(kRoot.size())) : std::string("/");
  return true;
}

}  // namespace qelda
