#pragma once
// A scan of the running processes by the built ovrascan, with a report and a
// machine folder of the test's own, for tests that start processes holding
// modules the way malware hides them. Each test's marked module holds the
// engine's trojan marker.
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/DetectionSamples.h"
#include "tests/tools/ChildProcess.h"

namespace vxtest {

namespace fs = std::filesystem;

inline constexpr int kNothingFound = 0;
inline constexpr int kFound = 1;
inline constexpr int kError = 2;

inline std::string readBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

inline std::string marked() { return "\n" + trojanMarker() + "\n"; }

inline std::string pidList(std::vector<pid_t> pids) {
  std::sort(pids.begin(), pids.end());
  std::string text;
  for (const pid_t pid : pids) text += (text.empty() ? "" : " ") + std::to_string(pid);
  return text;
}

class OvrascanProcessScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "ovrascan-hidden-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    fs::create_directories(folder_ / "machine");
    report_ = folder_ / "report.xml";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // ovrascan scan with a report and `options`, run as `prefix` asks (a program
  // that runs the rest).
  ChildProcess::Result scan(std::vector<std::string> prefix = {}, const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments = std::move(prefix);
    arguments.insert(arguments.end(), {TEST_BINARY, "scan", "--quiet", "--report", report_.string()});
    arguments.insert(arguments.end(), options.begin(), options.end());
    const std::string program = arguments.front();
    arguments.erase(arguments.begin());
    ChildProcess::Result result = runToEnd(program, arguments, {"VX_MACHINE_DIR=" + (folder_ / "machine").string()});
    const std::string bytes = readBytes(report_);
    const auto parsed = document_.load_buffer(bytes.data(), bytes.size());
    EXPECT_TRUE(parsed) << parsed.description() << result.out << result.err;
    return result;
  }
  pugi::xml_node item(const std::string& name) const {
    return document_.child("ScanResults").find_child_by_attribute("scannedItem", "itemName", name.c_str());
  }
  std::vector<std::string> itemsStartingWith(const std::string& prefix) const {
    std::vector<std::string> names;
    for (const pugi::xml_node& node : document_.child("ScanResults").children("scannedItem")) {
      const std::string name = node.attribute("itemName").value();
      if (name.starts_with(prefix)) names.push_back(name);
    }
    return names;
  }
  // The items the scan found infected with the trojan marker.
  std::vector<std::string> infectedItems() const {
    std::vector<std::string> names;
    for (const pugi::xml_node& node : document_.child("ScanResults").children("scannedItem")) {
      if (std::string_view(node.attribute("IsInfected").value()) == "1" &&
          std::string_view(node.attribute("virus_name").value()) == "Qelda.Test.Trojan") {
        names.emplace_back(node.attribute("itemName").value());
      }
    }
    return names;
  }
  void expectInfected(const ChildProcess::Result& result, const std::string& name, const std::vector<pid_t>& holders) {
    const pugi::xml_node found = item(name);
    ASSERT_TRUE(found) << name << "\n" << result.out;
    EXPECT_STREQ(found.attribute("IsInfected").value(), "1") << name;
    EXPECT_STREQ(found.attribute("virus_name").value(), "Qelda.Test.Trojan") << name;
    EXPECT_TRUE(contains(result.out, "Processes holding infected modules:\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "  " + name + ": pids " + pidList(holders) + "\n")) << result.out;
  }

  fs::path folder_;
  fs::path report_;
  pugi::xml_document document_;
};

}  // namespace vxtest
