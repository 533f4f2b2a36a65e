#pragma once
// ScanReport: the ScanResults document the object hands back from GetReport, read
// for what the host shows (counts and detections) and written to a file.
//
// Counts, per scannedItem: scanned when IsScanned is 1, not scanned otherwise (the
// engine looked at the object but never at its content); infected when IsInfected
// is 1; cleaned when IsRepaired is 1; an error when its ScanError is not 0.
//
// JSON: {"version": "1.0", ["objectsNotQueued": N,] ["processesNotListed": N,] "items": [{...}, ...]},
// one object per scannedItem with
// its attributes in the report's order and under the report's names; numbers as
// JSON numbers, names, virus names and hashes as strings (see JsonText).
//
// Files: UTF-8 with a declaration saying so; UTF-16LE with a byte order mark and a
// declaration saying UTF-16 when asked. The component's text says utf-16 in its
// declaration (it is a string of wide characters); the declaration is rewritten to
// match the file, the rest is the component's document.
//
// A value type; no shared state.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

class ScanReport {
 public:
  struct Detection {
    std::string name;       // UTF-8
    std::string virusName;  // UTF-8
    bool repaired = false;
    // The record's error: why a repair that was tried failed.
    std::uint32_t scanError = 0;
    bool repairAttempted = false;
  };
  struct Counts {
    std::uint32_t items = 0;
    std::uint32_t scanned = 0;
    std::uint32_t notScanned = 0;
    std::uint32_t infected = 0;
    std::uint32_t cleaned = 0;
    std::uint32_t errors = 0;
  };
  // What the engine made of one object.
  struct ItemState {
    std::string name;  // UTF-8
    bool scanned = false;
    std::uint32_t scanError = 0;
    std::uint32_t objectSummary = 0;
  };
  enum class Encoding { Utf8, Utf16 };

  // Reads the component's report text. Returns an empty text, or what is wrong.
  std::string load(std::wstring_view text);

  Counts counts() const;
  std::vector<Detection> detections() const;
  std::vector<ItemState> itemStates() const;
  // The objects the sources offered past the configuration's limit; 0 when none.
  std::uint64_t objectsNotQueued() const;
  // The processes whose modules the scan could not list; 0 when none.
  std::uint64_t processesNotListed() const;

  // The document as file bytes in `encoding`.
  std::string bytes(Encoding encoding) const;
  // The document as JSON in UTF-8.
  std::string json() const;
  // .utf16.xml names ask for UTF-16.
  static Encoding encodingFor(const std::string& fileName);

 private:
  pugi::xml_document document_;
};
