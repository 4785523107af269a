// tarnwell-genmeta: writes a large, realistic MetaBase.xml for benchmarks and trials.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "standin/metabase/metabase_generator.h"

namespace {

bool ParseCount(const char* text, int min, int& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < min || value > 1000000) return false;
  out = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int sites = 3;
  int pools = 8;
  int appsPerPool = 2;
  if (argc < 2 || argc > 5 || (argc > 2 && !ParseCount(argv[2], 1, sites)) ||
      (argc > 3 && !ParseCount(argv[3], 1, pools)) || (argc > 4 && !ParseCount(argv[4], 0, appsPerPool))) {
    std::fprintf(stderr, "usage: tarnwell-genmeta FILE [SITES [POOLS [APPS_PER_POOL]]]\n"
                         "  writes a MetaBase.xml with SITES web sites (3), POOLS application pools (8)\n"
                         "  and APPS_PER_POOL applications in every pool (2)\n");
    return 2;
  }
  try {
    tarnwell::standin::WriteGeneratedMetabase(argv[1], sites, pools, appsPerPool);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnwell-genmeta: %s\n", e.what());
    return 1;
  }
  std::printf("%s: %d sites, %d pools, %lld applications\n", argv[1], sites, pools,
              static_cast<long long>(pools) * appsPerPool);
  return 0;
}
