#include "platform/automation/RegistryScript.h"

#include <cctype>
#include <charconv>

#include "platform/RegistryKeyPath.h"
#include "platform/RegistryString.h"

namespace platform::automation {
namespace {

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

struct ScriptToken {
  std::string text;
  bool quoted = false;
  bool valid = true;
};

class ScriptReader {
 public:
  ScriptReader(std::string_view text, const std::map<std::string, std::string>& replacements)
      : text_(text), replacements_(replacements) {}

  std::optional<RegistryScript> read() {
    RegistryScript script;
    while (ok_ && !atEnd()) {
      RegistryScriptRoot root;
      const ScriptToken hive = next();
      if (!hiveOf(hive, root.hive) || !expect("{")) return std::nullopt;
      readKeys(root.keys);
      if (!ok_) return std::nullopt;
      script.push_back(std::move(root));
    }
    if (!ok_) return std::nullopt;
    return script;
  }

 private:
  bool atEnd() {
    while (at_ < text_.size() && isBlank(text_[at_])) ++at_;
    return at_ >= text_.size();
  }

  ScriptToken next() {
    ScriptToken token;
    if (atEnd()) {
      token.valid = false;
      return token;
    }
    std::string raw;
    if (text_[at_] == '\'') {
      token.quoted = true;
      for (++at_;; ++at_) {
        if (at_ >= text_.size()) {
          token.valid = false;
          return token;
        }
        if (text_[at_] == '\'') {
          if (at_ + 1 < text_.size() && text_[at_ + 1] == '\'') {
            raw += '\'';
            ++at_;
            continue;
          }
          ++at_;
          break;
        }
        raw += text_[at_];
      }
    } else {
      while (at_ < text_.size() && !isBlank(text_[at_])) raw += text_[at_++];
    }
    token.valid = replace(raw, token.text);
    return token;
  }

  ScriptToken peek() {
    const std::size_t saved = at_;
    ScriptToken token = next();
    at_ = saved;
    return token;
  }

  bool isSymbol(const ScriptToken& token, std::string_view symbol) const {
    return token.valid && !token.quoted && token.text == symbol;
  }

  bool expect(std::string_view symbol) {
    if (!isSymbol(next(), symbol)) ok_ = false;
    return ok_;
  }

  // %NAME% -> its replacement, %% -> %.
  bool replace(const std::string& raw, std::string& replaced) const {
    for (std::size_t at = 0; at < raw.size(); ++at) {
      if (raw[at] != '%') {
        replaced += raw[at];
        continue;
      }
      const std::size_t close = raw.find('%', at + 1);
      if (close == std::string::npos) return false;
      if (close == at + 1) {
        replaced += '%';
      } else {
        const auto found = replacements_.find(platform::foldRegistryName(raw.substr(at + 1, close - at - 1)));
        if (found == replacements_.end()) return false;
        replaced += found->second;
      }
      at = close;
    }
    return true;
  }

  static bool hiveOf(const ScriptToken& token, RegistryHive& hive) {
    if (!token.valid || token.quoted) return false;
    const std::string name = platform::foldRegistryName(token.text);
    if (name == "HKCR" || name == "HKEY_CLASSES_ROOT") {
      hive = RegistryHive::ClassesRoot;
      return true;
    }
    if (name == "HKLM" || name == "HKEY_LOCAL_MACHINE") {
      hive = RegistryHive::LocalMachine;
      return true;
    }
    return false;
  }

  // Keys up to the closing brace of the enclosing body.
  void readKeys(std::vector<RegistryScriptKey>& keys, std::vector<std::pair<std::string, RegistryValue>>* values = nullptr) {
    while (ok_) {
      ScriptToken token = next();
      if (!token.valid) {
        ok_ = false;
        return;
      }
      if (isSymbol(token, "}")) return;
      if (values != nullptr && !token.quoted && platform::foldRegistryName(token.text) == "VAL") {
        readNamedValue(*values);
        continue;
      }
      keys.push_back(readKey(std::move(token)));
    }
  }

  RegistryScriptKey readKey(ScriptToken token) {
    RegistryScriptKey key;
    if (!token.quoted) {
      const std::string word = platform::foldRegistryName(token.text);
      const std::pair<const char*, RegistryScriptKey::Removal> flags[] = {
          {"NOREMOVE", RegistryScriptKey::Removal::NoRemove},
          {"FORCEREMOVE", RegistryScriptKey::Removal::ForceRemove},
          {"DELETE", RegistryScriptKey::Removal::Delete}};
      for (const auto& [flag, removal] : flags) {
        if (word == flag) {
          key.removal = removal;
          token = next();
          break;
        }
      }
    }
    if (!token.valid || (!token.quoted && (token.text == "{" || token.text == "}" || token.text == "="))) {
      ok_ = false;
      return key;
    }
    key.name = std::move(token.text);
    if (isSymbol(peek(), "=")) {
      next();
      key.defaultValue = readValue();
    }
    if (isSymbol(peek(), "{")) {
      next();
      readKeys(key.subkeys, &key.values);
    }
    return key;
  }

  void readNamedValue(std::vector<std::pair<std::string, RegistryValue>>& values) {
    const ScriptToken name = next();
    if (!name.valid || !expect("=")) {
      ok_ = false;
      return;
    }
    values.emplace_back(name.text, readValue());
  }

  RegistryValue readValue() {
    const ScriptToken type = next();
    const ScriptToken data = next();
    if (!type.valid || type.quoted || !data.valid) {
      ok_ = false;
      return {};
    }
    if (type.text == "s") return platform::registryString(std::string_view(data.text));
    if (type.text == "d") return numberValue(data.text);
    if (type.text == "b") return bytesValue(data.text);
    ok_ = false;
    return {};
  }

  RegistryValue numberValue(std::string_view text) {
    std::uint32_t number = 0;
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
      text.remove_prefix(2);
      base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) ok_ = false;
    RegistryValue value{kRegDword, {}};
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<std::uint8_t>(number >> shift));
    return value;
  }

  RegistryValue bytesValue(std::string_view text) {
    RegistryValue value{kRegBinary, {}};
    if (text.size() % 2 != 0) ok_ = false;
    for (std::size_t at = 0; ok_ && at + 1 < text.size(); at += 2) {
      std::uint8_t byte = 0;
      const auto [end, error] = std::from_chars(text.data() + at, text.data() + at + 2, byte, 16);
      if (error != std::errc() || end != text.data() + at + 2) ok_ = false;
      value.data.push_back(byte);
    }
    return value;
  }

  std::string_view text_;
  const std::map<std::string, std::string>& replacements_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace

std::optional<RegistryScript> readRegistryScript(std::string_view text,
                                                 const std::map<std::string, std::string>& replacements) {
  return ScriptReader(text, replacements).read();
}

}  // namespace platform::automation
