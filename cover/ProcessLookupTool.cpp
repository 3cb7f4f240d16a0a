// tvl-processlookup NAME...: prints the processes with each command name, as the desktop
// cover finds them.
#include <cstdio>

#include "cover/ProcessLookup.h"

using namespace tvl;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s NAME...\n", argv[0]);
    return 2;
  }
  for (int i = 1; i < argc; ++i) getAllPIDsForProcessName(argv[i]);
  return 0;
}
