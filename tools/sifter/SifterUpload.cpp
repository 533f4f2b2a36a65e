#include "tools/sifter/SifterUpload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/UniqueFileDescriptor.h"
#include "tools/sifter/Progress.h"

namespace sifter {

namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// libcurl's global state for the length of one upload.
class CurlLibrary {
 public:
  CurlLibrary() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}
  ~CurlLibrary() {
    if (ok_) curl_global_cleanup();
  }
  CurlLibrary(const CurlLibrary&) = delete;
  CurlLibrary& operator=(const CurlLibrary&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// The archive as the request body: read by descriptor up to the size it had
// when opened, so what is announced is what is sent.
struct Body {
  int fd;
  curl_off_t left;
};

size_t readBody(char* buffer, size_t size, size_t count, void* context) {
  auto* body = static_cast<Body*>(context);
  const size_t wanted = std::min(size * count, static_cast<size_t>(body->left));
  if (wanted == 0) return 0;
  ssize_t got;
  do {
    got = read(body->fd, buffer, wanted);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return CURL_READFUNC_ABORT;
  body->left -= got;
  return static_cast<size_t>(got);
}

size_t discardResponse(char*, size_t size, size_t count, void*) { return size * count; }

ExitCode classify(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ExitCode::ConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return ExitCode::CertificateUntrusted;
    default:
      return ExitCode::TransferFailed;
  }
}

}  // namespace

ExitCode runUpload(const std::string& archivePath, const UploadSettings& settings) {
  if (settings.address.empty()) {
    progress("no submission address in the settings file");
    return ExitCode::NoAddress;
  }
  platform::UniqueFileDescriptor archive(
      open(archivePath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!archive.valid() || fstat(archive.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    progress("cannot read the archive " + archivePath);
    return ExitCode::ArchiveUnreadable;
  }
  CurlLibrary library;
  std::unique_ptr<CURL, EasyDeleter> easy(library.ok() ? curl_easy_init() : nullptr);
  if (!easy) return ExitCode::InternalFailure;
  Body body{archive.get(), static_cast<curl_off_t>(status.st_size)};
  std::unique_ptr<curl_slist, ListDeleter> headers(
      curl_slist_append(nullptr, "Content-Type: application/zip"));
  // "Expect: 100-continue" would hold larger bodies back for a second.
  headers.reset(curl_slist_append(headers.release(), "Expect:"));
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* handle = easy.get();
  bool configured = headers != nullptr;
  auto set = [&](CURLcode result) { configured = configured && result == CURLE_OK; };
  set(curl_easy_setopt(handle, CURLOPT_URL, settings.address.c_str()));
  set(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https"));
  set(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L));
  if (!settings.caPem.empty()) {
    // The CA travels as the bytes that were checked, never as a path that
    // libcurl would open again.
    curl_blob blob{const_cast<char*>(settings.caPem.data()), settings.caPem.size(), CURL_BLOB_COPY};
    set(curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob));
  }
  set(curl_easy_setopt(handle, CURLOPT_POST, 1L));
  set(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, body.left));
  set(curl_easy_setopt(handle, CURLOPT_READFUNCTION, readBody));
  set(curl_easy_setopt(handle, CURLOPT_READDATA, &body));
  set(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()));
  set(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, discardResponse));
  set(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText));
  set(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 60L));
  // A stalled transfer ends instead of hanging the runner, which waits without
  // a time-out: less than one byte a second for two minutes.
  set(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L));
  set(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 120L));
  if (!configured) return ExitCode::InternalFailure;

  progress("uploading " + std::to_string(status.st_size) + " bytes to " + settings.address + " ...");
  const CURLcode result = curl_easy_perform(handle);
  if (result != CURLE_OK) {
    progress(std::string("upload failed: ") + (errorText[0] != '\0' ? errorText : curl_easy_strerror(result)));
    return classify(result);
  }
  long status_code = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status_code);
  if (status_code >= 400) {
    progress("upload refused: the server answered " + std::to_string(status_code));
    return ExitCode::HttpError;
  }
  if (status_code < 200 || status_code >= 300) {
    progress("upload not accepted: the server answered " + std::to_string(status_code));
    return ExitCode::TransferFailed;
  }
  progress("upload done: the server answered " + std::to_string(status_code));
  return ExitCode::Success;
}

}  // namespace sifter
