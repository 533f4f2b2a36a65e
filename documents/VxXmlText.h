#pragma once
// VxXmlText: the one place where the documents meet XML text, so that every
// document is loaded with the same guards and written with the same rules.
//
// Loading is strict where the XML library is lenient. A text fails with 87
// (ERROR_INVALID_PARAMETER) when it is larger than the caller's limit (counted in
// UTF-8 bytes, checked before anything is parsed), holds a character that XML 1.0
// does not allow (control characters other than tab, LF and CR, lone surrogates -
// among them the escapes of undecodable bytes - U+FFFE, U+FFFF), is not
// well-formed as the parser sees it, carries a document type declaration
// (internal entity definitions and external subsets are never looked at), repeats
// an attribute on one element, or has not exactly one root element. The parser
// builds the tree without recursion, so deep nesting costs memory in proportion
// to the text and nothing more.
//
// Writing: characters that XML 1.0 cannot carry are written as U+FFFD, so that
// every document we produce can be read back by any XML parser; tab, LF and CR
// in attribute values are written as character references and survive reading.
//
// Stateless; safe from any thread.
#include <cstddef>
#include <string>

#include <pugixml.hpp>

#include "foundation/VxNAResult.h"

class VxXmlText {
 public:
  // The largest configuration a host may pass; real ones are a few hundred bytes.
  static constexpr std::size_t kMaxConfigurationBytes = 16u * 1024u * 1024u;

  static VxNAResult<> load(pugi::xml_document& document, const std::wstring& text, std::size_t maxBytes);
  // The whole document, declaration node included when it has one.
  static std::wstring save(const pugi::xml_document& document);
  // A narrow ANSI-code-page text as a valid attribute value (see above).
  static std::string attributeText(const std::string& ansiText);
  static bool isXmlChar(char32_t c);
};
