#include "cli.h"

#include <cstdio>

int cli_main(int, char**) {
  std::fputs("the launcher commands are not built yet\n", stderr);
  return 1;
}
