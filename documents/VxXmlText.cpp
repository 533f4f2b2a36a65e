#include "documents/VxXmlText.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// The declaration is kept so that a document is written back with it; DOCTYPE
// nodes are parsed only to be refused. Fragment mode keeps text outside the
// root element as nodes, so that it can be refused too (the document mode drops
// it silently).
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_doctype | pugi::parse_fragment;

std::size_t utf8Length(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// False when a character is not allowed or the UTF-8 form exceeds maxBytes.
bool checkCharacters(const std::wstring& text, std::size_t maxBytes) {
  if (text.size() > maxBytes) return false;
  std::size_t bytes = 0;
  for (const wchar_t w : text) {
    const auto c = static_cast<char32_t>(w);
    if (!VxXmlText::isXmlChar(c)) return false;
    bytes += utf8Length(c);
    if (bytes > maxBytes) return false;
  }
  return true;
}

// A declaration is written back with its values as they read; one whose value
// reads "?>" (written "?&gt;") would end there, and the text saved would not be
// the document loaded.
bool hasClosableDeclaration(const pugi::xml_node& declaration) {
  for (const pugi::xml_attribute& attribute : declaration.attributes()) {
    if (std::string_view(attribute.value()).find("?>") != std::string_view::npos) return false;
  }
  return true;
}

bool hasUniqueAttributes(const pugi::xml_node& element) {
  if (!element.first_attribute() || !element.first_attribute().next_attribute()) return true;
  std::vector<std::string_view> names;
  for (const pugi::xml_attribute& attribute : element.attributes()) names.emplace_back(attribute.name());
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) == names.end();
}

// Walks the tree in document order with an explicit cursor: the nesting depth of
// a hostile text must not reach the call stack.
bool hasAcceptableNodes(const pugi::xml_document& document) {
  pugi::xml_node node = document.first_child();
  while (node) {
    if (node.type() == pugi::node_doctype) return false;
    if (node.type() == pugi::node_declaration && !hasClosableDeclaration(node)) return false;
    if (node.type() == pugi::node_element && !hasUniqueAttributes(node)) return false;
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && !node.next_sibling()) {
      node = node.parent();
      if (node == document) return true;
    }
    if (node) node = node.next_sibling();
  }
  return true;
}

bool hasOneRoot(const pugi::xml_document& document) {
  std::size_t elements = 0;
  for (const pugi::xml_node& child : document.children()) {
    switch (child.type()) {
      case pugi::node_element:
        ++elements;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
      case pugi::node_declaration:
        break;
      default:
        return false;
    }
  }
  return elements == 1;
}

struct StringWriter final : pugi::xml_writer {
  std::string text;
  void write(const void* data, std::size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
};

}  // namespace

bool VxXmlText::isXmlChar(char32_t c) {
  if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
  if (c < 0xD800) return true;
  if (c < 0xE000) return false;
  if (c < 0xFFFE) return true;
  return c >= 0x10000 && c <= 0x10FFFF;
}

VxNAResult<> VxXmlText::load(pugi::xml_document& document, const std::wstring& text, std::size_t maxBytes) {
  if (text.empty() || !checkCharacters(text, maxBytes)) return VxNAFail(ERROR_INVALID_PARAMETER);
  const std::string utf8 = VxNATypeConversion::wideBufferToAnsiString(text);
  // The declaration of a report names UTF-16, the encoding it has outside the
  // process; the bytes handed to the parser are UTF-8 whatever it says.
  const pugi::xml_parse_result parsed =
      document.load_buffer(utf8.data(), utf8.size(), kParseOptions, pugi::encoding_utf8);
  if (!parsed || !hasOneRoot(document) || !hasAcceptableNodes(document)) {
    document.reset();
    return VxNAFail(ERROR_INVALID_PARAMETER);
  }
  return VxNASuccess();
}

std::wstring VxXmlText::save(const pugi::xml_document& document) {
  StringWriter writer;
  document.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return VxNATypeConversion::ansiBufferToWideString(writer.text.data(),
                                                    static_cast<std::uint32_t>(writer.text.size()));
}

std::string VxXmlText::attributeText(const std::string& ansiText) {
  // Printable ASCII and the three white space characters XML allows are kept as
  // they are, and most names are made of nothing else.
  const bool plain = std::all_of(ansiText.begin(), ansiText.end(), [](char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
  });
  if (plain) return ansiText;
  std::wstring wide = VxNATypeConversion::ansiBufferToWideString(ansiText);
  for (wchar_t& w : wide) {
    if (!isXmlChar(static_cast<char32_t>(w))) w = static_cast<wchar_t>(kReplacement);
  }
  return VxNATypeConversion::wideBufferToAnsiString(wide);
}
