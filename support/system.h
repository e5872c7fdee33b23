// system.h: a thin layer over file descriptors, and Log2/Exp2.
#pragma once

#include "support/types.h"

struct SystemRec {
  FILE* files[64];   // slots 0..2: stdin, stdout, stderr
  bool flags[64];
};

void SystemInitializeGV(Globals* G);
void SystemFinalizeGV(Globals* G);

int OpenInput(Globals* G, const char* name);    // negative on failure
int OpenOutput(Globals* G, const char* name);   // create/truncate, mode 0666
long Read(int fd, void* buffer, size_t size);
long Write(int fd, const void* buffer, size_t size);
void Close(int fd);
int dbhFileToInt(Globals* G, FILE* stream);
bool IsCharacterSpecial(int fd);
int Log2(unsigned long n);   // floor(log2 n); 0 for 0
unsigned long Exp2(int n);   // 2^n for 0 <= n <= 31
