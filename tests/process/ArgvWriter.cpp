// A child for the process tests. Modes:
//   ArgvWriter <file> [arguments...]  writes its nice value, working folder and
//                                     arguments (after <file>) to <file>, one NUL
//                                     after each
//   ArgvWriter --exit <n>             ends with exit code n
//   ArgvWriter --fifo <path>          opens the FIFO for writing (blocking until a
//                                     reader comes) and writes "alive"
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  if (argc == 3 && std::strcmp(argv[1], "--exit") == 0) return std::atoi(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--fifo") == 0) {
    std::ofstream fifo(argv[2]);
    fifo << "alive";
    return fifo ? 0 : 1;
  }
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  char folder[4096] = {};
  if (getcwd(folder, sizeof folder) == nullptr) return 2;
  std::ofstream out(argv[1], std::ios::binary);
  out << nice << '\0' << folder << '\0';
  for (int i = 2; i < argc; ++i) out << argv[i] << '\0';
  return out ? 0 : 3;
}
