#pragma once
// DataSetFiles: the files of the engine's data set that a failed engine start-up
// concerns, so that an error line can name them. The data set is what
// AVScanner.ini beside the executable names in its [coredatset] section, each file
// in the executable's folder.
//
// Stateless; safe from any thread. AVScanner.ini is read anew on every call.
#include <cstdint>
#include <string>

namespace DataSetFiles {

// For a component code that carries an engine status: the data file it concerns
// ("data file FOLDER/names.dat"), or the whole data set when the status names no
// one file ("data set FOLDER/AVScanner.ini: FOLDER/names.dat, ..."). Empty for
// other codes.
std::string concerned(const std::string& hostFolder, std::uint32_t code);

}  // namespace DataSetFiles
