// system.cpp: the thin layer over file descriptors, and Log2/Exp2.
#include "support/system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/globals.h"
#include "support/memory.h"

// ---- Module record --------------------------------------------------------

void SystemInitializeGV(Globals* G) {
  SystemRec* s = bxNew<SystemRec>(G);
  s->files[0] = stdin;
  s->files[1] = stdout;
  s->files[2] = stderr;
  s->flags[0] = s->flags[1] = s->flags[2] = true;
  G->System = s;
}

void SystemFinalizeGV(Globals* G) {
  bxDelete(G->System);
  G->System = nullptr;
}

// ---- Descriptors ----------------------------------------------------------

// Descriptors are closed on exec, so that no shell or mail command a template
// starts inherits them.
int OpenInput(Globals* /*G*/, const char* name) {
  if (name == nullptr) return -1;
  return ::open(name, O_RDONLY | O_CLOEXEC);
}

int OpenOutput(Globals* /*G*/, const char* name) {
  if (name == nullptr) return -1;
  return ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

long Read(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }

long Write(int fd, const void* buffer, size_t size) { return ::write(fd, buffer, size); }

void Close(int fd) {
  if (fd >= 0) ::close(fd);
}

int dbhFileToInt(Globals* G, FILE* stream) {
  if (stream == nullptr) return -1;
  const int fd = fileno(stream);
  if (fd >= 0 && fd < 64 && G != nullptr && G->System != nullptr) {
    G->System->files[fd] = stream;
    G->System->flags[fd] = true;
  }
  return fd;
}

bool IsCharacterSpecial(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  return S_ISCHR(st.st_mode);
}

// ---- Powers of two --------------------------------------------------------

int Log2(unsigned long n) {
  int r = 0;
  while (n > 1) {
    n >>= 1;
    ++r;
  }
  return r;
}

unsigned long Exp2(int n) {
  if (n < 0 || n > 31) return 0;
  return 1UL << n;
}
