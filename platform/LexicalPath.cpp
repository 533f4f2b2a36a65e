#include "platform/LexicalPath.h"

#include <string_view>
#include <vector>

namespace platform {

std::string lexicallyNormalPath(const std::string& absolute) {
  if (absolute.empty() || absolute.front() != '/') return absolute;
  std::vector<std::string_view> components;
  const std::string_view text(absolute);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view component = text.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  if (components.empty()) return "/";
  std::string normal;
  normal.reserve(absolute.size());
  for (const std::string_view component : components) {
    normal.push_back('/');
    normal.append(component);
  }
  return normal;
}

}  // namespace platform
