#pragma once
// The two XML documents a collection leaves in its output folder, UTF-8:
//
// Logs/Files.xml, one File element per suspicious file:
//   <Files created="2026-12-10T19:46:33Z" host="name" count="2" archived="1"
//          pathEscape="...">
//     <File path="/tmp/x" size="1234" sha256="..." reason="executable in
//           world-writable folder" modified="...Z" changed="...Z" archived="true"
//           entry="files/tmp/x" processes="42 43"/>
//   </Files>
// path is escaped as PathText.h describes (the root's pathEscape says so too);
// sha256 and entry are present only for archived files; note says why a file was
// not archived; processes lists the ids of processes running it. Times are the
// file's modification and inode change times, ISO 8601 in UTC.
//
// Sifter.xml, where the archive is:
//   <Sifter><Preferences><Zip-Path value="/abs/DIR/Sifter.zip"/></Preferences></Sifter>
//
// Stateless; safe from any thread.
#include <ctime>
#include <string>
#include <vector>

#include "tools/sifter/Collection.h"

namespace sifter {

// archive: the absolute path of the archive the files go into (the root's
// "archive" attribute), so that a reader of the report alone finds it.
std::string filesReport(const std::vector<CollectedFile>& files, const std::string& host, std::time_t created,
                        const std::string& archive);
std::string preferencesDocument(const std::string& zipPath);

// "YYYY-MM-DDThh:mm:ssZ".
std::string isoUtcTime(std::time_t time);

}  // namespace sifter
