// The property check of the server's fuzz targets: a violated property aborts with its
// description, which libFuzzer reports as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}
