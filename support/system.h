// system.h: a thin layer over file descriptors and child processes, the
// request's time limit, and Log2/Exp2.
#pragma once

#include <csignal>
#include <sys/types.h>

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
// Writes all n bytes, again after an interrupted call; false on an error.
bool WriteAll(int fd, const char* bytes, size_t n);
void Close(int fd);
int dbhFileToInt(Globals* G, FILE* stream);
bool IsCharacterSpecial(int fd);
int Log2(unsigned long n);   // floor(log2 n); 0 for 0
unsigned long Exp2(int n);   // 2^n for 0 <= n <= 31

// ---- Request time limit ---------------------------------------------------
// A wall-clock budget for the request. When it is spent, SIGALRM sets the
// mark below, kills the child process group that os_WaitChild is waiting
// for and calls the interrupt hook (the database layer's: it cancels a
// running statement). Everything else notices the mark at its next check.
// A request that has not ended a grace period later is blocked where no
// check reaches, and the process ends at once with status 1.

extern volatile sig_atomic_t os_timeLimitSpent;

inline bool os_TimeLimitSpent() { return os_timeLimitSpent != 0; }
// Arms the limit (0: none) and clears the mark.
void os_StartTimeLimit(unsigned seconds);
void os_StopTimeLimit();
// The hook runs inside the signal handler: it must be async-signal-safe.
void os_SetInterruptHook(void (*hook)());

// In a child after fork: its own process group while a limit is armed, so
// that the limit kills the whole command and not only its shell.
void os_ChildEnterGroup();
// Waits for the child (see waitpid); while waiting, a spent limit kills the
// child's group. Returns the wait status, or -1 when the wait failed.
int os_WaitChild(pid_t pid);
