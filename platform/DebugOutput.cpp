#include "platform/DebugOutput.h"

#include <syslog.h>

#include <string>

namespace platform {

void writeDebugOutput(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const std::string line(text);
  ::syslog(LOG_USER | LOG_DEBUG, "%s", line.c_str());
}

}  // namespace platform
