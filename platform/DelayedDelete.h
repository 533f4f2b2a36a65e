#pragma once
// DelayedDelete: deletion put off until later, the stand-in for Windows'
// "delete at restart". Linux has no such facility, so the machine keeps a list:
// <machine folder>/Vexora/PendingDelete.list, one absolute path per line, with
// "\" written as "\\" and a line feed as "\n" so that any file name fits on one
// line. Scheduling appends one line; a retry (a later run, or the component's
// next tree deletion) removes what it can and rewrites the list with what is
// still there.
//
// A retry removes each entry as it is at that moment and never follows a link:
// a folder is removed only when empty, anything else (a link too) is unlinked.
// Entries that are gone are dropped; entries that still cannot be removed stay.
//
// Thread-safety: safe from any thread and any process. Appends and retries are
// serialised by an exclusive lock (flock) on <machine folder>/Vexora/
// PendingDelete.lock, which a crashed holder gives up with its descriptors; the
// list itself is replaced atomically, so a crash never loses recorded entries.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Records `absolutePath` for deletion; 0, or the code of why it was not recorded.
std::uint32_t scheduleDelete(const std::string& absolutePath);

struct DelayedDeleteOutcome {
  std::uint32_t error = 0;  // reading or rewriting the list failed
  std::size_t removed = 0;  // entries removed (or found gone) by this retry
  std::size_t pending = 0;  // entries left in the list
};

// Removes what it can of the recorded entries and rewrites the list.
DelayedDeleteOutcome retryScheduledDeletes();

// Where the list lives (for diagnostics and tests).
std::string scheduledDeleteListPath();

}  // namespace platform
