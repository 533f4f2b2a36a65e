#pragma once
// Reads the reports back with libxml2's xmllint, a parser independent of the one
// that wrote them. A report is handed over as the bytes it has outside the
// process: UTF-16LE with a byte-order mark.
#include <string>

namespace vxtest {

bool xmllintAvailable();

struct XmlLintRun {
  int status = -1;
  std::string output;  // UTF-8
};

// xmllint --noout on the report.
XmlLintRun xmllintCheck(const std::wstring& xml);
// xmllint --xpath expression on the report.
XmlLintRun xmllintXPath(const std::wstring& xml, const std::string& expression);

}  // namespace vxtest
