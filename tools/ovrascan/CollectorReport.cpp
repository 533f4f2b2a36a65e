#include "tools/ovrascan/CollectorReport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <pugixml.hpp>

#include "platform/UniqueFileDescriptor.h"
#include "tools/ovrascan/TextFile.h"

namespace {

// The collector bounds what it archives; an archive beyond this is not its own.
constexpr off_t kMaxArchiveSize = off_t{1} << 30;

std::string systemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

std::string CollectorReport::parse(const std::wstring& text) {
  files_.clear();
  archive_.clear();
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(text.data(), text.size() * sizeof(wchar_t), pugi::parse_default, pugi::encoding_wchar);
  if (!parsed) return std::string("not well-formed XML (") + parsed.description() + ")";
  const pugi::xml_node root = document.document_element();
  if (!root) return "no root element";
  archive_ = root.attribute("archive").value();
  for (const pugi::xml_node file : root.children()) {
    if (file.type() != pugi::node_element || !file.attribute("path")) continue;
    files_.push_back(File{file.attribute("path").value(), file.attribute("reason").value(),
                          file.attribute("size").value(), file.attribute("archived").as_bool()});
  }
  return {};
}

void CollectorReport::print(std::FILE* out) const {
  for (const File& file : files_) {
    std::fprintf(out, "%s: %s (%s bytes%s)\n", file.reason.c_str(), file.path.c_str(), file.size.c_str(),
                 file.archived ? "" : ", not archived");
  }
  std::fprintf(out, "%zu suspicious file%s\n", files_.size(), files_.size() == 1 ? "" : "s");
  if (!archive_.empty()) std::fprintf(out, "Archive: %s\n", archive_.c_str());
  std::fflush(out);
}

std::string CollectorReport::saveArchive(const std::string& destination) const {
  if (archive_.empty()) return "the collector's report names no archive to save";
  // The archive lies in the runner's private session folder; still, only a
  // regular file is read, and never through a link.
  const platform::UniqueFileDescriptor file(::open(archive_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file.valid()) return systemError("cannot open the archive " + archive_, errno);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return systemError("cannot examine the archive " + archive_, errno);
  if (!S_ISREG(status.st_mode)) return "the archive " + archive_ + " is not a regular file";
  if (status.st_size > kMaxArchiveSize) return "the archive " + archive_ + " is larger than 1 GiB";
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(file.get(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0 ? "the archive " + archive_ + " shrank while it was read"
                                  : systemError("cannot read the archive " + archive_, errno);
    done += static_cast<std::size_t>(got);
  }
  return TextFile::write(destination, bytes);
}
