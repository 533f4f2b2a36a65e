#include "tools/sifter/Reports.h"

#include <pugixml.hpp>

#include <sstream>

#include "tools/sifter/PathText.h"

namespace sifter {

namespace {

constexpr char kPathEscapeNote[] =
    "bytes that are not UTF-8 text XML allows are written \\xHH; a backslash is written \\\\";

std::string documentText(const pugi::xml_document& document) {
  std::ostringstream text;
  document.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
  return text.str();
}

void addDeclaration(pugi::xml_document& document) {
  auto declaration = document.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "UTF-8";
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

}  // namespace

std::string isoUtcTime(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string filesReport(const std::vector<CollectedFile>& files, const std::string& host, std::time_t created,
                        const std::string& archive) {
  pugi::xml_document document;
  addDeclaration(document);
  auto root = document.append_child("Files");
  std::size_t archived = 0;
  for (const auto& file : files) archived += file.archived ? 1 : 0;
  root.append_attribute("created") = isoUtcTime(created).c_str();
  root.append_attribute("host") = escapePathForXml(host).c_str();
  root.append_attribute("count") = static_cast<unsigned long long>(files.size());
  root.append_attribute("archived") = static_cast<unsigned long long>(archived);
  root.append_attribute("pathEscape") = kPathEscapeNote;
  root.append_attribute("archive") = archive.c_str();
  for (const auto& file : files) {
    auto element = root.append_child("File");
    element.append_attribute("path") = escapePathForXml(file.path).c_str();
    element.append_attribute("size") = static_cast<unsigned long long>(file.size);
    if (!file.sha256.empty()) element.append_attribute("sha256") = file.sha256.c_str();
    element.append_attribute("reason") = joined(file.reasons, "; ").c_str();
    element.append_attribute("modified") = isoUtcTime(file.modified.tv_sec).c_str();
    element.append_attribute("changed") = isoUtcTime(file.changed.tv_sec).c_str();
    element.append_attribute("archived") = file.archived ? "true" : "false";
    if (file.archived) element.append_attribute("entry") = file.entryName.c_str();
    if (!file.note.empty()) element.append_attribute("note") = file.note.c_str();
    if (!file.processes.empty()) {
      std::vector<std::string> ids;
      for (const auto pid : file.processes) ids.push_back(std::to_string(pid));
      element.append_attribute("processes") = joined(ids, " ").c_str();
    }
  }
  return documentText(document);
}

std::string preferencesDocument(const std::string& zipPath) {
  pugi::xml_document document;
  addDeclaration(document);
  document.append_child("Sifter").append_child("Preferences").append_child("Zip-Path").append_attribute("value") =
      zipPath.c_str();
  return documentText(document);
}

}  // namespace sifter
