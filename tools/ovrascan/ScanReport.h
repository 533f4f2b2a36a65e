#pragma once
// ScanReport: the ScanResults document the object hands back from GetReport, read
// for what the host shows (counts and detections) and written to a file.
//
// Counts, per scannedItem: scanned when IsScanned is 1; infected when IsInfected
// is 1; cleaned when IsRepaired is 1; an error when the item was not scanned or
// its ScanError is not 0.
//
// Files: UTF-8 with a declaration saying so; UTF-16LE with a byte order mark and a
// declaration saying UTF-16 when asked. The component's text says utf-16 in its
// declaration (it is a string of wide characters); the declaration is rewritten to
// match the file, the rest is the component's document.
//
// A value type; no shared state.
#include <cstdint>
#include <string>
#include <vector>

#include <pugixml.hpp>

class ScanReport {
 public:
  struct Detection {
    std::string name;       // UTF-8
    std::string virusName;  // UTF-8
    bool repaired = false;
  };
  struct Counts {
    std::uint32_t items = 0;
    std::uint32_t scanned = 0;
    std::uint32_t infected = 0;
    std::uint32_t cleaned = 0;
    std::uint32_t errors = 0;
  };
  enum class Encoding { Utf8, Utf16 };

  // Reads the component's report text. Returns an empty text, or what is wrong.
  std::string load(const std::wstring& text);

  Counts counts() const;
  std::vector<Detection> detections() const;

  // The document as file bytes in `encoding`.
  std::string bytes(Encoding encoding) const;
  // .utf16.xml names ask for UTF-16.
  static Encoding encodingFor(const std::string& fileName);

 private:
  pugi::xml_document document_;
};
