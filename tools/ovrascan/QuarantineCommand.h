#pragma once
// QuarantineCommand: "ovrascan quarantine list" and "ovrascan quarantine restore ID",
// the administrator's view of the quarantine the scan engine keeps in
// <machine>/Vexora/Quarantine. It works on the quarantine library alone: no
// component module, no scan engine, no rule library is loaded.
//
// Only root may use it (the quarantine holds other users' files); anyone else gets
// a one-line message and status 2. list prints one line per entry:
//   <id>  <time, UTC>  <detection>  <original path>
// with detection and path percent-escaped as in the records, so a file name
// holding a newline stays on its line. restore prints "Restored <path>".
//
// Exit statuses: 0 done, 2 an error (usage, not root, a refused restore).
//
// Thread-safety: run() belongs to one thread; no shared state.
#include <string>
#include <vector>

class QuarantineCommand {
 public:
  static constexpr int kDone = 0;
  static constexpr int kError = 2;

  // `arguments` are those after "quarantine".
  static int run(const std::vector<std::string>& arguments);

 private:
  static int list();
  static int restore(const std::string& id);
};
