#pragma once
// ScanConfiguration: what the host checks of a scan configuration before handing
// it to the object. The object reads the document itself and refuses what it
// cannot use; but a configuration that selects no scan type is one it accepts,
// and its scan then examines the content of nothing while every object still gets
// a record. The host refuses that one.
//
// Stateless; safe from any thread.
#include <string>

namespace ScanConfiguration {

// True when `text` is a scanconfig document without a single
// scanconfig/scantype/item. A text that is no such document is left to the
// object, which says what is wrong with it.
bool selectsNoScanType(const std::wstring& text);

}  // namespace ScanConfiguration
