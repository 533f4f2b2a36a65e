#include "process/CommandLine.h"

#include <cstddef>

namespace vxprocess {
namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The program name: up to the closing quotation mark, or up to the first blank.
std::size_t splitProgramName(const std::wstring& text, std::wstring& name) {
  std::size_t at = 0;
  if (!text.empty() && text[0] == L'"') {
    const std::size_t close = text.find(L'"', 1);
    const std::size_t end = close == std::wstring::npos ? text.size() : close;
    name = text.substr(1, end - 1);
    at = close == std::wstring::npos ? text.size() : close + 1;
  } else {
    while (at < text.size() && !isBlank(text[at])) ++at;
    name = text.substr(0, at);
  }
  return at;
}

}  // namespace

std::wstring buildCommandLine(const std::wstring& path, const std::wstring& arguments) {
  std::wstring line = L"\"" + path + L"\"";
  if (!arguments.empty()) line += L" " + arguments;
  return line;
}

std::wstring quoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

namespace {

// Appends the words of commandLine from at on (the rules after the program name).
void splitWords(const std::wstring& commandLine, std::size_t at, std::vector<std::wstring>& argv) {
  while (at < commandLine.size() && isBlank(commandLine[at])) ++at;
  if (at >= commandLine.size()) return;

  // quotes counts the marks of the current run as the Windows parser does: odd
  // while inside a quoted part; three in a row give one literal mark.
  std::wstring word;
  bool inWord = false;
  std::size_t backslashes = 0;
  int quotes = 0;
  while (at < commandLine.size()) {
    const wchar_t c = commandLine[at];
    if (isBlank(c) && quotes == 0) {
      argv.push_back(word);
      word.clear();
      inWord = false;
      backslashes = 0;
      while (at < commandLine.size() && isBlank(commandLine[at])) ++at;
      continue;
    }
    inWord = true;
    if (c == L'\\') {
      word += c;
      ++backslashes;
      ++at;
    } else if (c == L'"') {
      if (backslashes % 2 == 0) {
        word.resize(word.size() - backslashes / 2);
        ++quotes;
      } else {
        word.resize(word.size() - backslashes / 2 - 1);
        word += L'"';
      }
      ++at;
      backslashes = 0;
      while (at < commandLine.size() && commandLine[at] == L'"') {
        if (++quotes == 3) {
          word += L'"';
          quotes = 0;
        }
        ++at;
      }
      if (quotes == 2) quotes = 0;
    } else {
      word += c;
      backslashes = 0;
      ++at;
    }
  }
  if (inWord) argv.push_back(word);
}

}  // namespace

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine) {
  std::vector<std::wstring> argv(1);
  splitWords(commandLine, splitProgramName(commandLine, argv[0]), argv);
  return argv;
}

std::vector<std::wstring> splitArguments(const std::wstring& arguments) {
  std::vector<std::wstring> words;
  splitWords(arguments, 0, words);
  return words;
}

}  // namespace vxprocess
