// scan_bench.cpp: scans one template file with GetToken (no parse) and reports
// the bytes, tokens and time taken.
// Usage: bench_scan FILE
#include <sys/stat.h>

#include <chrono>
#include <cstdio>

#include "driver/cgi.h"
#include "driver/request.h"
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
  long tokens = 0;
  while (GetToken(G) != tkEndOfFile) tokens++;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double mb = static_cast<double>(st.st_size) / (1024.0 * 1024.0);
  std::printf("%.1f MB, %ld tokens in %.3f s: %.1f MB/s, %.1f M tokens/s\n", mb, tokens,
              seconds, mb / seconds, static_cast<double>(tokens) / seconds / 1e6);
  FinalizeAllGV(G);
  return 0;
}
