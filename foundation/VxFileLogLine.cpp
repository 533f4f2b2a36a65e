#include "foundation/VxFileLogLine.h"

#include <cwchar>

namespace {

// Two digits below 10 ("0%hu"), the number as it is from 10 on ("%hu").
void appendTwoDigits(std::wstring& out, std::uint16_t value) {
  if (value < 10) out += L'0';
  out += std::to_wstring(value);
}

// "%*.*s": the first `width` characters, right-aligned in `width` columns.
void appendCutRight(std::wstring& out, const wchar_t* text, std::size_t width) {
  std::wstring_view view = text != nullptr ? std::wstring_view(text) : std::wstring_view();
  if (view.size() > width) view = view.substr(0, width);
  out.append(width - view.size(), L' ');
  out += view;
}

// "%5d"
void appendNumber5(std::wstring& out, std::uint32_t value) {
  const std::wstring digits = std::to_wstring(static_cast<std::int32_t>(value));
  if (digits.size() < 5) out.append(5 - digits.size(), L' ');
  out += digits;
}

bool missing(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

const wchar_t* afterLastSeparator(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  return name;
}

void appendTimeStamp(std::wstring& out, const platform::LocalTime& time) {
  appendTwoDigits(out, time.month);
  out += L'/';
  appendTwoDigits(out, time.day);
  out += L'/';
  out += std::to_wstring(time.year);
  out += L' ';
  const std::uint16_t hour12 = time.hour % 12 == 0 ? 12 : time.hour % 12;
  appendTwoDigits(out, hour12);
  out += L':';
  appendTwoDigits(out, time.minute);
  out += L':';
  appendTwoDigits(out, time.second);
  out += time.hour < 12 ? L" AM$" : L" PM$";
}

}  // namespace

const wchar_t* vxLogSeverityName(std::uint32_t severity) {
  static constexpr const wchar_t* kNames[] = {L"Normal", L"Warning", L"Information", L"Error", L"Critical"};
  return severity >= 1 && severity <= 5 ? kNames[severity - 1] : L"";
}

std::wstring formatFileLogLine(const VxFileLogLineFields& fields) {
  std::wstring out;
  out.reserve(128 + fields.message.size());
  appendTimeStamp(out, fields.time);
  out += L" -- (";
  out += vxLogSeverityName(fields.severity);
  out += L")$";
  if (fields.options & kVxLogOptionModule) {
    out += L' ';
    if (!missing(fields.module)) {
      out += L'[';
      appendCutRight(out, fields.module, 15);
      out += L"]$";
    }
  }
  if (fields.options & kVxLogOptionProcessThread) {
    out += L" [PID:";
    appendNumber5(out, fields.processId);
    out += L" TID:";
    appendNumber5(out, fields.threadId);
    out += L"]$";
  }
  if (fields.options & kVxLogOptionFileLine) {
    out += L' ';
    if (!missing(fields.file)) {
      out += L'[';
      appendCutRight(out, afterLastSeparator(fields.file), 20);
      out += L':';
      appendNumber5(out, fields.line);
      out += L"]$";
    }
  }
  if (fields.options & kVxLogOptionFunction) {
    out += L' ';
    if (!missing(fields.function)) {
      out += L'[';
      appendCutRight(out, fields.function, 40);
      out += L"()]$";
    }
  }
  out += L' ';
  out += fields.message;
  if (fields.message.empty() || fields.message.back() != L'\n') out += L"\r\n";
  return out;
}
