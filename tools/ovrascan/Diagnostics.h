#pragma once
// Diagnostics: the one-line messages ovrascan writes to stderr, so that every
// failure names what failed and its code the same way, in decimal and in hex:
//   ovrascan: Scan failed with status 13 (0x0000000D): invalid data
//
// Each message is written with one call, so lines of different threads never mix.
#include <cstdint>
#include <string>

#include "platform/automation/Automation.h"

namespace Diagnostics {

// "ovrascan: " + message.
void error(const std::string& message);
// A method of the object returned a status other than 0. A `concerning` text
// (the file the failure concerns: "configuration /etc/scan.xml") leads the line.
void statusFailure(const std::string& what, std::uint32_t status, const std::string& concerning = {});
// A call returned a failed HRESULT.
void hresultFailure(const std::string& what, HRESULT hr, const std::string& concerning = {});
// "13 (0x0000000D)", followed by ": meaning" for the codes the component documents;
// 1009 (ERROR_BADDB), also as an HRESULT, says "registry database damaged: "
// and the path of the machine's registry database.
std::string codeText(std::uint32_t code);
// Why the engine could not scan an object, in words, from the ScanError and
// ObjectSummary of its record: "larger than the engine scans (scan error 223)".
// Why a detection was not cleaned, from the record's error after a repair.
std::string repairFailure(std::uint32_t repairError);
std::string notScannedReason(std::uint32_t scanError, std::uint32_t objectSummary);

}  // namespace Diagnostics
