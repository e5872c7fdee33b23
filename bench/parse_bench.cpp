// parse_bench.cpp: parses one template file into its tree and reports the
// bytes, syntax errors and time taken.
// Usage: bench_parse FILE
#include <sys/stat.h>

#include <chrono>
#include <cstdio>

#include "driver/cgi.h"
#include "driver/request.h"
#include "frontend/parser.h"
#include "frontend/scanner.h"
#include "frontend/source.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  struct stat st;
  if (stat(argv[1], &st) != 0) {
    std::perror(argv[1]);
    return 2;
  }
  Globals* G = InitializeAllGV(0);
  InitIdentifiers(G);
  const auto start = std::chrono::steady_clock::now();
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginFile(G, argv[1]);
  if (G->Scanner->errorIndication != 0) {
    std::fprintf(stderr, "%s: cannot be read\n", argv[1]);
    return 2;
  }
  StartInputState(G);
  const int errors = Parser(G);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double mb = static_cast<double>(st.st_size) / (1024.0 * 1024.0);
  std::printf("%.1f MB, %d syntax errors in %.3f s: %.1f MB/s\n", mb, errors, seconds,
              mb / seconds);
  FinalizeAllGV(G);
  return 0;
}
