#pragma once
// ScanConfiguration: what the host checks of a scan configuration before handing
// it to the object. The object reads the document itself and refuses what it
// cannot use; but a configuration that selects no scan type is one it accepts,
// and its scan then examines the content of nothing while every object still gets
// a record. The host refuses that one, but only after the object has taken the
// document and only when the object would read all of it, so that what the
// object finds wrong with it is reported first.
//
// Stateless; safe from any thread.
#include <string>

namespace ScanConfiguration {

// True when `text` is a scanconfig document without a single
// scanconfig/scantype/item. A text that is no such document, or one the object
// would refuse (CVxAVScannerXMLConfig::checkConfiguration: a missing maximum
// scan count, an unknown keyword or source), is left to the object, which says
// what is wrong with it.
bool selectsNoScanType(const std::wstring& text);

}  // namespace ScanConfiguration
