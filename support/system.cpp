// system.cpp: the thin layer over file descriptors and child processes, the
// request's time limit, and Log2/Exp2.
#include "support/system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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

bool WriteAll(int fd, const char* bytes, size_t n) {
  while (n > 0) {
    const ssize_t done = ::write(fd, bytes, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

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

// ---- Request time limit ---------------------------------------------------

volatile sig_atomic_t os_timeLimitSpent = 0;

namespace {

// Seconds a request may still run after its limit is spent, to write the
// error page and end; beyond them it is stuck.
constexpr unsigned kGraceSeconds = 10;

volatile sig_atomic_t limitArmed = 0;
volatile sig_atomic_t childGroup = 0;   // the process group os_WaitChild waits for
void (*volatile interruptHook)() = nullptr;

void onAlarm(int) {
  const int savedErrno = errno;
  if (os_timeLimitSpent != 0) {
    static const char text[] = "braxel: time limit exceeded, and the request did not end\n";
    (void)!write(2, text, sizeof text - 1);
    _exit(1);
  }
  os_timeLimitSpent = 1;
  if (childGroup > 0) kill(-childGroup, SIGKILL);
  if (void (*hook)() = interruptHook) hook();
  alarm(kGraceSeconds);
  errno = savedErrno;
}

}  // namespace

void os_StartTimeLimit(unsigned seconds) {
  os_timeLimitSpent = 0;
  limitArmed = seconds > 0;
  if (seconds == 0) {
    alarm(0);
    return;
  }
  // SA_RESTART: output and file calls go on undisturbed; the checks, the
  // hook and the kill do the stopping. The value-initialized mask is the
  // empty set.
  struct sigaction sa {};
  sa.sa_handler = onAlarm;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &sa, nullptr);
  alarm(seconds);
}

void os_StopTimeLimit() {
  alarm(0);
  limitArmed = 0;
}

void os_SetInterruptHook(void (*hook)()) { interruptHook = hook; }

void os_ChildEnterGroup() {
  if (limitArmed) setpgid(0, 0);
}

int os_WaitChild(pid_t pid) {
  // The parent sets the group too, so that it exists before the kill can
  // come, whichever of the two runs first.
  if (limitArmed) {
    setpgid(pid, pid);
    childGroup = pid;
    if (os_timeLimitSpent != 0) kill(-pid, SIGKILL);
  }
  int status = 0;
  pid_t r;
  while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  childGroup = 0;
  return r == pid ? status : -1;
}
