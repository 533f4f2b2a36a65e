#include "tests/tools/ExecutableMappings.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/UniqueFileDescriptor.h"

ExecutableMappings::ExecutableMappings(const std::filesystem::path& folder, std::size_t count,
                                       std::size_t nameLength, const std::string& content)
    : length_(content.size()) {
  for (std::size_t i = 0; i < count && failure_.empty(); ++i) {
    std::string name = "mapped-" + std::to_string(i) + "-";
    name.append(nameLength > name.size() + 4 ? nameLength - name.size() - 4 : 0, 'x');
    name += ".bin";
    add(folder / name, content);
  }
}

ExecutableMappings::ExecutableMappings(const std::filesystem::path& folder, const std::vector<std::string>& names,
                                       const std::string& content)
    : length_(content.size()) {
  for (const std::string& name : names) {
    if (failure_.empty()) add(folder / name, content);
  }
}

void ExecutableMappings::add(const std::filesystem::path& path, const std::string& content) {
  platform::UniqueFileDescriptor file(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file.valid() || write(file.get(), content.data(), length_) != static_cast<ssize_t>(length_)) {
    failure_ = "cannot write " + path.string() + ": " + std::strerror(errno);
    return;
  }
  void* mapping = mmap(nullptr, length_, PROT_READ | PROT_EXEC, MAP_PRIVATE, file.get(), 0);
  if (mapping == MAP_FAILED) {
    failure_ = "cannot map " + path.string() + " executable: " + std::strerror(errno);
    return;
  }
  mappings_.push_back(mapping);
  paths_.push_back(path);
}

ExecutableMappings::~ExecutableMappings() {
  for (void* mapping : mappings_) munmap(mapping, length_);
}
