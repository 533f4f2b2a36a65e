#include "qelda/QeldaQuarantineRecord.h"

#include <charconv>
#include <climits>
#include <vector>

namespace qelda {
namespace {

constexpr std::string_view kHeader = "qelda-quarantine 2";
constexpr std::string_view kFirstHeader = "qelda-quarantine 1";
constexpr std::size_t kFieldCount = 11;
constexpr std::string_view kKeys[kFieldCount] = {"path",     "restorable", "detection", "time",
                                                 "sha256",   "size",       "uid",       "gid",
                                                 "mode",     "parent_device", "parent_inode"};

bool plain(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E && byte != '%'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base = 10) {
  if (text.empty() || text.front() == '+') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc{} && end == text.data() + text.size();
}

// The value of line `line` if it is "<key>=<value>".
bool valueOf(std::string_view line, std::string_view key, std::string_view& value) {
  if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') return false;
  value = line.substr(key.size() + 1);
  return true;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) return {};  // the last line must end too
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

std::string escapeField(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (plain(byte)) {
      out += c;
    } else {
      out += '%';
      out += kDigits[byte >> 4];
      out += kDigits[byte & 15];
    }
  }
  return out;
}

bool unescapeField(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high << 4 | low);
      i += 2;
    } else if (plain(byte)) {
      out += text[i];
    } else {
      return false;
    }
  }
  return true;
}

std::string formatRecord(const QuarantineRecord& record) {
  char mode[16];
  const auto written = std::to_chars(mode, mode + sizeof mode, record.mode & 07777u, 8);
  std::string text(kHeader);
  text += "\npath=" + escapeField(record.path);
  text += record.restorable ? "\nrestorable=1" : "\nrestorable=0";
  text += "\ndetection=" + escapeField(record.detection);
  text += "\ntime=" + std::to_string(record.time);
  text += "\nsha256=" + toHex(record.sha256);
  text += "\nsize=" + std::to_string(record.size);
  text += "\nuid=" + std::to_string(record.uid);
  text += "\ngid=" + std::to_string(record.gid);
  text += "\nmode=0" + std::string(mode, written.ptr);
  text += "\nparent_device=" + std::to_string(record.parentDevice);
  text += "\nparent_inode=" + std::to_string(record.parentInode);
  text += "\n";
  return text;
}

namespace {

// The field values in kKeys order; a version 1 record gets restorable=1.
bool fieldValues(std::string_view text, std::string_view (&v)[kFieldCount]) {
  auto lines = splitLines(text);
  if (lines.empty()) return false;
  if (lines[0] == kFirstHeader && lines.size() == kFieldCount) {
    lines.insert(lines.begin() + 2, "restorable=1");
  } else if (lines[0] != kHeader || lines.size() != kFieldCount + 1) {
    return false;
  }
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (!valueOf(lines[i + 1], kKeys[i], v[i])) return false;
  }
  return true;
}

bool validPath(const std::string& path, bool restorable) {
  if (path.empty() || path.size() >= PATH_MAX || path.find('\0') != std::string::npos) return false;
  return !restorable || path.front() == '/';
}

}  // namespace

bool parseRecord(std::string_view text, QuarantineRecord& record) {
  if (text.size() > kMaxRecordBytes) return false;
  std::string_view v[kFieldCount];
  if (!fieldValues(text, v) || (v[1] != "0" && v[1] != "1")) return false;
  record.restorable = v[1] == "1";
  std::uint32_t mode = 0;
  if (!unescapeField(v[0], record.path) || !validPath(record.path, record.restorable) ||
      !unescapeField(v[2], record.detection) || !parseNumber(v[3], record.time) ||
      v[4].size() != 64 || v[4].find_first_not_of("0123456789abcdef") != std::string_view::npos ||
      !fromHex(std::string(v[4]), record.sha256) || !parseNumber(v[5], record.size) ||
      !parseNumber(v[6], record.uid) || !parseNumber(v[7], record.gid) || v[8].size() < 2 || v[8].front() != '0' ||
      !parseNumber(v[8].substr(1), mode, 8) || mode > 07777u || !parseNumber(v[9], record.parentDevice) ||
      !parseNumber(v[10], record.parentInode)) {
    return false;
  }
  record.mode = mode;
  return true;
}

}  // namespace qelda
