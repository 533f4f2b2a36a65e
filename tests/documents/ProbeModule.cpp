// A shared object that the module enumeration tests preload into a child
// process. Its constructor tells the parent that the child has mapped it.
#include <unistd.h>

__attribute__((constructor)) static void announceLoaded() {
  const char ready = 'R';
  (void)!write(STDOUT_FILENO, &ready, 1);
}
