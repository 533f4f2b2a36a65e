#include "platform/automation/IdlTypeLibrary.h"

#include <cctype>
#include <charconv>
#include <map>

#include "platform/Utf8.h"

namespace platform::automation {
namespace {

enum class TokenKind { Word, String, Punctuation, End, Error };

struct Token {
  TokenKind kind = TokenKind::End;
  std::string text;
};

bool isWordCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.' || c == '-';
}

// Splits IDL text into words, string literals and punctuation, dropping blanks
// and comments.
class IdlTokens {
 public:
  explicit IdlTokens(std::string_view text) : text_(text) { advance(); }

  const Token& current() const { return current_; }
  Token take() {
    Token taken = std::move(current_);
    advance();
    return taken;
  }
  bool takeIf(std::string_view punctuation) {
    if (current_.kind != TokenKind::Punctuation || current_.text != punctuation) return false;
    advance();
    return true;
  }

 private:
  void advance() {
    skipBlanksAndComments();
    current_ = {};
    if (failed_) {
      current_.kind = TokenKind::Error;
      return;
    }
    if (at_ >= text_.size()) return;
    const char c = text_[at_];
    if (c == '"') {
      readString();
    } else if (isWordCharacter(c)) {
      const std::size_t start = at_;
      while (at_ < text_.size() && isWordCharacter(text_[at_])) ++at_;
      current_ = {TokenKind::Word, std::string(text_.substr(start, at_ - start))};
    } else {
      current_ = {TokenKind::Punctuation, std::string(1, c)};
      ++at_;
    }
  }

  void skipBlanksAndComments() {
    while (at_ < text_.size()) {
      if (std::isspace(static_cast<unsigned char>(text_[at_])) != 0) {
        ++at_;
      } else if (text_.substr(at_, 2) == "//") {
        const std::size_t end = text_.find('\n', at_);
        at_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_.substr(at_, 2) == "/*") {
        const std::size_t end = text_.find("*/", at_ + 2);
        if (end == std::string_view::npos) {
          failed_ = true;
          return;
        }
        at_ = end + 2;
      } else {
        return;
      }
    }
  }

  void readString() {
    std::string value;
    for (++at_; at_ < text_.size(); ++at_) {
      char c = text_[at_];
      if (c == '"') {
        ++at_;
        current_ = {TokenKind::String, std::move(value)};
        return;
      }
      if (c == '\\' && at_ + 1 < text_.size()) c = text_[++at_];
      value += c;
    }
    current_.kind = TokenKind::Error;
    failed_ = true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  Token current_;
  bool failed_ = false;
};

// The attributes of one declaration: name -> the text of its argument ("" for
// a flag such as `dual`).
using Attributes = std::map<std::string, std::string>;

std::wstring wide(const std::string& text) { return decodeUtf8(text.data(), text.size()); }

class IdlReader {
 public:
  explicit IdlReader(std::string_view idl) : tokens_(idl) {}

  std::optional<IdlTypeLibrary> read() {
    while (ok_ && tokens_.current().kind != TokenKind::End) readDeclaration();
    if (!ok_ || !library_) return std::nullopt;
    // Interfaces declared outside the library belong to it as well, as MIDL
    // puts every interface the library refers to into it.
    library_->interfaces = std::move(interfaces_);
    library_->coclasses = std::move(coclasses_);
    return std::move(library_);
  }

 private:
  void fail() { ok_ = false; }
  bool atPunctuation(std::string_view text) const {
    return tokens_.current().kind == TokenKind::Punctuation && tokens_.current().text == text;
  }

  void readDeclaration() {
    Attributes attributes;
    if (tokens_.takeIf("[")) readAttributes(attributes);
    const Token keyword = tokens_.take();
    if (keyword.kind == TokenKind::Error) return fail();
    if (keyword.kind != TokenKind::Word) return;  // the library's closing brace and stray semicolons
    if (keyword.text == "library") return readLibrary(attributes);
    if (keyword.text == "interface" || keyword.text == "dispinterface") {
      return readInterface(attributes, keyword.text == "dispinterface");
    }
    if (keyword.text == "coclass") return readCoclass(attributes);
    skipStatement();
  }

  // `name` or `name(arguments)`, separated by commas, up to the closing bracket.
  void readAttributes(Attributes& attributes) {
    while (ok_ && !tokens_.takeIf("]")) {
      const Token name = tokens_.take();
      if (name.kind != TokenKind::Word) return fail();
      std::string argument;
      if (tokens_.takeIf("(")) {
        while (!tokens_.takeIf(")")) {
          const Token part = tokens_.take();
          if (part.kind == TokenKind::End || part.kind == TokenKind::Error) return fail();
          argument += part.text;
        }
      }
      attributes[name.text] = std::move(argument);
      if (!tokens_.takeIf(",") && !atPunctuation("]")) return fail();
    }
  }

  // Skips to the end of a statement this reader has no use for: the next
  // semicolon outside braces and parentheses.
  void skipStatement() {
    int depth = 0;
    while (ok_) {
      const Token token = tokens_.take();
      if (token.kind == TokenKind::End || token.kind == TokenKind::Error) return fail();
      if (token.kind != TokenKind::Punctuation) continue;
      if (token.text == "{" || token.text == "(") ++depth;
      if (token.text == "}" || token.text == ")") --depth;
      if (depth < 0) return fail();
      if (depth == 0 && token.text == ";") return;
    }
  }

  // Skips a `{ ... }` body whose opening brace was taken, and a `;` after it.
  void skipBody() {
    int depth = 1;
    while (ok_ && depth > 0) {
      const Token token = tokens_.take();
      if (token.kind == TokenKind::End || token.kind == TokenKind::Error) return fail();
      if (token.kind == TokenKind::Punctuation && token.text == "{") ++depth;
      if (token.kind == TokenKind::Punctuation && token.text == "}") --depth;
    }
    tokens_.takeIf(";");
  }

  std::optional<GUID> uuidOf(const Attributes& attributes) {
    const auto found = attributes.find("uuid");
    if (found == attributes.end()) return std::nullopt;
    return parseGuid(L"{" + wide(found->second) + L"}");
  }

  static std::wstring helpStringOf(const Attributes& attributes) {
    const auto found = attributes.find("helpstring");
    return found == attributes.end() ? std::wstring() : wide(found->second);
  }

  template <class Number>
  static bool parseNumber(std::string_view text, Number& number) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
      text.remove_prefix(2);
      base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
  }

  void readLibrary(const Attributes& attributes) {
    const Token name = tokens_.take();
    const auto libid = uuidOf(attributes);
    if (library_ || name.kind != TokenKind::Word || !libid || !tokens_.takeIf("{")) return fail();
    IdlTypeLibrary library;
    library.name = wide(name.text);
    library.libid = *libid;
    library.helpString = helpStringOf(attributes);
    if (const auto version = attributes.find("version"); version != attributes.end()) {
      const std::string_view text = version->second;
      const std::size_t dot = text.find('.');
      const bool read = dot == std::string_view::npos
                            ? parseNumber(text, library.majorVersion)
                            : parseNumber(text.substr(0, dot), library.majorVersion) &&
                                  parseNumber(text.substr(dot + 1), library.minorVersion);
      if (!read) return fail();
    }
    if (const auto lcid = attributes.find("lcid"); lcid != attributes.end()) {
      if (!parseNumber(std::string_view(lcid->second), library.lcid)) return fail();
    }
    // The declarations inside the library follow as ordinary declarations; its
    // closing brace is skipped like a stray token.
    library_ = std::move(library);
  }

  void readInterface(const Attributes& attributes, bool dispinterface) {
    const Token name = tokens_.take();
    if (name.kind != TokenKind::Word) return fail();
    IdlInterface declared;
    declared.name = wide(name.text);
    declared.dispinterface = dispinterface;
    if (tokens_.takeIf(":")) {
      const Token base = tokens_.take();
      if (base.kind != TokenKind::Word) return fail();
      declared.base = wide(base.text);
    }
    if (tokens_.takeIf(";")) return;  // a forward declaration
    if (!tokens_.takeIf("{")) return fail();
    const auto iid = uuidOf(attributes);
    if (!iid) return fail();
    declared.iid = *iid;
    declared.dual = attributes.contains("dual");
    declared.oleAutomation = attributes.contains("oleautomation");
    skipBody();
    interfaces_.push_back(std::move(declared));
  }

  void readCoclass(const Attributes& attributes) {
    const Token name = tokens_.take();
    const auto clsid = uuidOf(attributes);
    if (name.kind != TokenKind::Word || !clsid || !tokens_.takeIf("{")) return fail();
    skipBody();
    coclasses_.push_back({wide(name.text), *clsid, helpStringOf(attributes)});
  }

  IdlTokens tokens_;
  std::optional<IdlTypeLibrary> library_;
  std::vector<IdlInterface> interfaces_;
  std::vector<IdlCoclass> coclasses_;
  bool ok_ = true;
};

}  // namespace

std::optional<IdlTypeLibrary> readIdlTypeLibrary(std::string_view idl) { return IdlReader(idl).read(); }

}  // namespace platform::automation
