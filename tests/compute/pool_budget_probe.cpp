// Prints the engine's thread budget as this process's environment sets it.
#include <cstdio>

#include "compute/le_pool.h"

int main() {
  std::printf("%d\n", le::pool::threads());
  return 0;
}
