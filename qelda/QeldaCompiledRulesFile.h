/*
 * Compiled rules kept between processes, so that an engine starting on rule
 * source it compiled before loads the compiled form instead of compiling again:
 * one owner-only file, <machine>/Vexora/"rules.cache" (QeldaPrivateFile.h), for
 * the last rule source compiled. The file names the source (SHA-256 of the text
 * and the libyara version) and carries a checksum; a file for other source, or
 * damaged, or not trusted, yields nothing and the rules are compiled.
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_COMPILED_RULES_FILE_H
#define QELDA_COMPILED_RULES_FILE_H

#include <optional>
#include <string>

namespace qelda {

inline constexpr char kCompiledRulesFileName[] = "rules.cache";

// The compiled form stored for this rule source, when there is a sound one.
std::optional<std::string> loadCompiledRules(const std::string& machine, const std::string& source);

// Stores `compiled` as the compiled form of `source`; failures only cost a compile
// next time.
void saveCompiledRules(const std::string& machine, const std::string& source, const std::string& compiled);

}  // namespace qelda

#endif
