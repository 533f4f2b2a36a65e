#include "tools/sifter/ArchiveWriter.h"

#include <zip.h>

namespace sifter {

namespace {

// The path of an entry of a folder held open, through the descriptor, so that
// libzip's own opens and its final rename stay inside that very folder whatever
// happens to the names above it.
std::string pinnedPath(int folderFd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
}

std::string archiveProblem(zip_t* archive) { return zip_strerror(archive); }

}  // namespace

std::string writeArchive(int folderFd, const std::string& name, int stagingFd, const std::string& report,
                         const std::vector<CollectedFile>& files) {
  int error = 0;
  zip_t* archive = zip_open(pinnedPath(folderFd, name).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) {
    zip_error_t detail;
    zip_error_init_with_code(&detail, error);
    std::string problem = zip_error_strerror(&detail);
    zip_error_fini(&detail);
    return problem;
  }
  // Until zip_close succeeds the archive is discarded on every way out.
  auto fail = [&](std::string problem) {
    zip_discard(archive);
    return problem;
  };
  zip_source_t* reportSource = zip_source_buffer(archive, report.data(), report.size(), 0);
  if (reportSource == nullptr) return fail(archiveProblem(archive));
  if (zip_file_add(archive, "Files.xml", reportSource, ZIP_FL_ENC_UTF_8) < 0) {
    zip_source_free(reportSource);
    return fail(archiveProblem(archive));
  }
  for (const auto& file : files) {
    if (!file.archived) continue;
    // libzip opens each source only while it writes that entry, so the number
    // of files never meets the descriptor limit.
    zip_source_t* source = zip_source_file(archive, pinnedPath(stagingFd, file.stagedName).c_str(), 0, -1);
    if (source == nullptr) return fail(archiveProblem(archive));
    const zip_int64_t index = zip_file_add(archive, file.entryName.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(source);
      return fail(archiveProblem(archive));
    }
    if (zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), file.modified.tv_sec, 0) != 0) {
      return fail(archiveProblem(archive));
    }
  }
  if (zip_close(archive) != 0) return fail(archiveProblem(archive));
  return {};
}

}  // namespace sifter
