/*
 * The owners of what libyara hands out: the library's own start-up (counted, so
 * that every holder of compiled rules keeps it started) and compiled rules.
 *
 * YaraLibrary::acquire/release are safe from any thread. YaraRules is immutable
 * after construction and may be scanned from several threads at once.
 */
#ifndef QELDA_YARA_H
#define QELDA_YARA_H

#include <cstdint>
#include <memory>
#include <string>

struct YR_RULES;

namespace qelda {

// Keeps libyara started while it lives.
class YaraLibrary {
 public:
  static std::shared_ptr<YaraLibrary> acquire();  // empty when libyara failed to start
  ~YaraLibrary();
  YaraLibrary(const YaraLibrary&) = delete;
  YaraLibrary& operator=(const YaraLibrary&) = delete;

 private:
  YaraLibrary() = default;
};

class YaraRules {
 public:
  // Compiles rule source, or loads compiled rules (text starting with "YARA").
  // On failure returns null with status set (a malformed line or out of memory).
  static std::unique_ptr<YaraRules> build(const std::string& text, std::uint16_t& status);
  ~YaraRules();
  YaraRules(const YaraRules&) = delete;
  YaraRules& operator=(const YaraRules&) = delete;

  YR_RULES* get() const { return rules_; }
  // The rules in libyara's compiled form, which build() loads; empty on failure.
  std::string compiled() const;

 private:
  YaraRules(std::shared_ptr<YaraLibrary> library, YR_RULES* rules)
      : library_(std::move(library)), rules_(rules) {}
  std::shared_ptr<YaraLibrary> library_;
  YR_RULES* rules_;
};

}  // namespace qelda

#endif
