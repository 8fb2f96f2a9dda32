// plo-testpool: a local mining pool on 127.0.0.1 for tests and demonstrations.
// Each protocol mode reads its own options; the Stratum pool is the default mode and
// --http selects the HTTP getwork pool.
#include <cstring>

#include "tools/testpool/http_pool.h"
#include "tools/testpool/stratum_pool.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--http") == 0) return testpool::RunHttpPool(argc, argv);
  }
  return testpool::RunStratumPool(argc, argv);
}
