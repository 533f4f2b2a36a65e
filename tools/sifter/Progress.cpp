#include "tools/sifter/Progress.h"

#include <unistd.h>

namespace sifter {

void progress(const std::string& text) {
  const std::string line = "Sifter: " + text + "\n";
  // A closed or full stderr must not stop a collection; the line is dropped.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace sifter
