// fastcgi.cpp: the FastCGI mode: the request loop over libfcgi's FCGX_
// interface, the hand-over of each request's environment, body and streams
// to the request cycle, the end of a request after a fatal error, and the
// supervisor that forks, replaces and stops the workers.
#include "driver/fastcgi.h"

#include <fcgiapp.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "db/dblayer.h"
#include "driver/output.h"
#include "frontend/reader.h"
#include "support/system.h"

namespace {

// ---------------------------------------------------------------------------
// Settings

// Bounds of the two settings: more workers than this is a typing error, and
// a request count beyond it is as good as none.
constexpr long kMaxChildren = 1024;
constexpr long kMaxRequestsLimit = 1L << 40;

struct FcgiSettings {
  long children;      // BRAXEL_FCGI_CHILDREN: workers to fork; 0 serves here
  long maxRequests;   // BRAXEL_FCGI_MAX_REQUESTS: 0 for no limit
};

// A plain decimal number from 0 to max, or -1 (absent: 0).
long numberSetting(const char* name, long max) {
  const char* s = std::getenv(name);
  if (s == nullptr || *s == '\0') return 0;
  long n = 0;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return -1;
    n = n * 10 + (*s - '0');
    if (n > max) return -1;
  }
  return n;
}

// ---------------------------------------------------------------------------
// The worker's process-wide state

// One request at a time per process. Process-wide because the stdio writers
// and the signal handlers have no other way to it.
struct FcgiWorker {
  FCGX_Request request;
  int listenFd;
  FILE* out;            // standard output and standard error while a request
  FILE* err;            // is served: the request's two streams
  FILE* processOut;     // the process's own, between requests
  FILE* processErr;
  char** environment;   // the process's own environment
  // Descriptors 1 and 2 while a request is served: anonymous files that
  // catch what the commands a template starts write there, passed on to
  // the request's streams before anything the request writes itself (as
  // both would reach the web server through the same descriptor under
  // CGI); between requests the process's own, kept in processFds.
  int commandFds[2];
  int processFds[2];
  bool serving;         // a request is being served
  bool switched;        // descriptors 1 and 2 are the request's files
  int nullFd;           // /dev/null, standard input between requests
  bool bodyOnInput;     // standard input is the request's body
  long served;
  bool recycle;         // set when the worker must not serve another request
  size_t heapBaseline;  // heap in use after the first request
};

FcgiWorker worker;

// SIGTERM: set by the handler, read by the loops. The workers let it in only
// while they wait for a connection (ppoll), so no request sees EINTR.
volatile sig_atomic_t stopRequested = 0;
sigset_t processMask;   // the signal mask the process started with

void onStop(int) { stopRequested = 1; }

// A client that went away is the write's error, not the end of the worker.
// A handler rather than SIG_IGN: commands that a template starts get the
// default again when they are executed.
void onBrokenPipe(int) {}

// Children forked for a template's shell or mail command start with the
// process's own signal mask, not with SIGTERM held back.
void restoreMaskInChild() { sigprocmask(SIG_SETMASK, &processMask, nullptr); }

void setHandler(int signal, void (*handler)(int), int flags) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  sigaction(signal, &sa, nullptr);
}

// ---------------------------------------------------------------------------
// The request's streams

// FCGX_PutStr takes an int count.
bool putAll(FCGX_Stream* stream, const char* bytes, size_t n) {
  constexpr size_t kPiece = 1 << 20;
  while (n > 0) {
    const int piece = static_cast<int>(n < kPiece ? n : kPiece);
    if (FCGX_PutStr(bytes, piece, stream) != piece) return false;
    bytes += piece;
    n -= static_cast<size_t>(piece);
  }
  return true;
}

// Passes on what commands wrote to descriptor 1 or 2 (which = 0 or 1) since
// the last time, and empties the file.
void passOnCommandOutput(int which, FCGX_Stream* stream) {
  const int fd = worker.commandFds[which];
  if (!worker.switched || fd < 0) return;
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size <= 0) return;
  char buffer[16384];
  off_t at = 0;
  while (at < size) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) break;
    putAll(stream, buffer, static_cast<size_t>(n));
    at += n;
  }
  if (ftruncate(fd, 0) != 0) return;
}

// The page's bytes once they leave the held-back response (HttpBegin).
bool writePage(void* target, const char* bytes, size_t n) {
  passOnCommandOutput(0, worker.request.out);
  return putAll(static_cast<FCGX_Stream*>(target), bytes, n);
}

ssize_t writeOut(void*, const char* bytes, size_t n) {
  passOnCommandOutput(0, worker.request.out);
  return putAll(worker.request.out, bytes, n) ? static_cast<ssize_t>(n) : -1;
}

ssize_t writeErr(void*, const char* bytes, size_t n) {
  passOnCommandOutput(1, worker.request.err);
  return putAll(worker.request.err, bytes, n) ? static_cast<ssize_t>(n) : -1;
}

// The files behind descriptors 1 and 2 of a request; writes always append,
// also after the file was emptied. Without them commands write to the
// process's own descriptors.
void openCommandFiles() {
  for (int which = 0; which < 2; ++which) {
    worker.processFds[which] = fcntl(which + 1, F_DUPFD_CLOEXEC, 3);
    const int fd = memfd_create(which == 0 ? "braxel-stdout" : "braxel-stderr", MFD_CLOEXEC);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND);
    worker.commandFds[which] = worker.processFds[which] >= 0 ? fd : -1;
  }
}

// Descriptors 1 and 2 for a request's commands (serving true) or the
// process's own again.
void switchDescriptors(bool serving) {
  for (int which = 0; which < 2; ++which) {
    if (worker.commandFds[which] < 0) continue;
    dup2(serving ? worker.commandFds[which] : worker.processFds[which], which + 1);
  }
  worker.switched = serving;
}

// Before a fork: a command that a request starts gets the request's files
// as descriptors 1 and 2 (a request that starts none never pays for them).
void beforeFork() {
  if (worker.serving && !worker.switched) switchDescriptors(true);
}

// Standard output is fully buffered as in a CGI run (OutputInitializeProcess),
// standard error unbuffered. The buffer is the stream's own, as stdio's are,
// and lives as long as the stream; it is not a static one, which would sit
// in every CGI run's memory too.
bool openStreams() {
  constexpr size_t kOutBuffer = size_t{1} << 16;
  worker.out = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, writeOut, nullptr, nullptr});
  worker.err = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, writeErr, nullptr, nullptr});
  char* outBuffer = static_cast<char*>(std::malloc(kOutBuffer));
  if (worker.out == nullptr || worker.err == nullptr || outBuffer == nullptr) return false;
  std::setvbuf(worker.out, outBuffer, _IOFBF, kOutBuffer);
  std::setvbuf(worker.err, nullptr, _IONBF, 0);
  worker.processOut = stdout;
  worker.processErr = stderr;
  return true;
}

// ---------------------------------------------------------------------------
// The request's body

// Standard input between requests: nothing to read.
void emptyStandardInput() {
  if (worker.nullFd < 0) worker.nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (worker.nullFd >= 0) dup2(worker.nullFd, STDIN_FILENO);
  worker.bodyOnInput = false;
}

// The body of the request becomes standard input, as a CGI run finds it: the
// form reader, CONTENT_LENGTH and the commands a template starts read it
// there. A body is held in an anonymous file, not in the request's memory.
void takeBody(FCGX_Stream* in) {
  char buffer[16384];
  int n = FCGX_GetStr(buffer, sizeof buffer, in);
  if (n <= 0) return;   // no body: standard input stays empty
  int fd = memfd_create("braxel-body", MFD_CLOEXEC);
  if (fd < 0) {
    FILE* file = std::tmpfile();
    fd = file != nullptr ? fcntl(fileno(file), F_DUPFD_CLOEXEC, 3) : -1;
    if (file != nullptr) std::fclose(file);
    if (fd < 0) return;
  }
  bool ok = true;
  while (n > 0 && ok) {
    ok = WriteAll(fd, buffer, static_cast<size_t>(n));
    n = FCGX_GetStr(buffer, sizeof buffer, in);
  }
  lseek(fd, 0, SEEK_SET);
  dup2(fd, STDIN_FILENO);   // the copy on 0 is inherited by commands, as in CGI
  ::close(fd);
  worker.bodyOnInput = true;
}

// ---------------------------------------------------------------------------
// The heap

// A request ended by a fatal error leaves behind what its frames held (a
// capture's buffer, a call's variables): the records are released, the rest
// is not tracked. A worker whose heap has grown this much beyond what it
// held after its first request is recycled.
constexpr size_t kHeapAllowance = size_t{64} << 20;

size_t heapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// After each request: the first one sets the baseline; after a fatal end the
// heap is measured against it.
void checkHeap(int status) {
  if (worker.served == 1) {
    worker.heapBaseline = heapInUse();
  } else if (status != 0 && heapInUse() > worker.heapBaseline + kHeapAllowance +
                                             static_cast<size_t>(TemplateCacheBytes())) {
    worker.recycle = true;
  }
}

// ---------------------------------------------------------------------------
// One request

// After a fatal end: the request's database work is rolled back, never
// committed, and the records are released. A fatal error on the way (the
// records half released) leaves the process in no state to serve again.
void releaseCycle(RequestSlot* slot) {
  Globals* G = slot->G;
  slot->G = nullptr;
  if (G == nullptr) {
    worker.recycle = true;   // the end came before the records existed, or while they were released
    return;
  }
  try {
    dbAbandon(G);
    FinalizeAllGV(G);
  } catch (const RequestEnded&) {
    worker.recycle = true;
  }
}

// What a request leaves in process-wide state besides its records: the
// time limit, a capture, a response still open.
void resetProcessState() {
  os_StartTimeLimit(0);   // disarmed, the mark cleared
  serverDropCapture();
  if (HttpActive()) HttpEnd(nullptr);
}

// Runs one accepted request as a CGI run of this program with the request's
// environment, body and streams.
void serveRequest(int argc, char** argv, RequestCycle cycle) {
  FCGX_Request& request = worker.request;
  // Commands that a template starts must not hold the connection open.
  if (request.ipcFd >= 0) fcntl(request.ipcFd, F_SETFD, FD_CLOEXEC);
  takeBody(request.in);
  environ = request.envp;
  stdout = worker.out;
  stderr = worker.err;
  worker.serving = true;

  RequestSlot slot{writePage, request.out, nullptr, false};
  int status = 1;
  try {
    status = cycle(argc, argv, &slot);
  } catch (const RequestEnded& end) {
    status = end.status;
  }
  // The normal end released the records itself and stopped the clock; a
  // fatal end or a usage error leaves that to be done.
  if (slot.G != nullptr || status != 0) {
    releaseCycle(&slot);
    resetProcessState();
  }

  std::fflush(stdout);
  std::fflush(stderr);
  if (worker.switched) {
    passOnCommandOutput(0, request.out);
    passOnCommandOutput(1, request.err);
    switchDescriptors(false);
  }
  worker.serving = false;
  stdout = worker.processOut;
  stderr = worker.processErr;
  environ = worker.environment;
  if (worker.bodyOnInput) emptyStandardInput();
  FCGX_SetExitStatus(status, request.out);
  // The request's input has been read to its end (takeBody), so closing
  // the connection at once cannot cut off the answer: the library's wait
  // for the web server to close first (up to two seconds, a round trip at
  // least) is skipped.
  request.detached = 1;
  FCGX_Finish_r(&request);
  ++worker.served;
  checkHeap(status);
}

// ---------------------------------------------------------------------------
// The worker loop

// Waits for a connection (or the next request on a connection the web
// server keeps) with SIGTERM let in; false when the worker is to stop.
bool awaitRequest() {
  sigset_t waiting = processMask;
  sigdelset(&waiting, SIGTERM);
  for (;;) {
    if (stopRequested) return false;
    const int fd = worker.request.ipcFd >= 0 ? worker.request.ipcFd : worker.listenFd;
    pollfd p{fd, POLLIN, 0};
    const int ready = ppoll(&p, 1, nullptr, &waiting);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0 || stopRequested) continue;
    // Another worker may have taken the connection: the socket does not
    // block, and the accept fails with EAGAIN. Any other failure (no
    // descriptor left, say) is waited out instead of retried at once.
    const int accepted = FCGX_Accept_r(&worker.request);
    if (accepted >= 0) return true;
    if (accepted != -EAGAIN && accepted != -EWOULDBLOCK && accepted != -EINTR) {
      const timespec pause{0, 100 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
}

// Serves until SIGTERM, the request limit or a reason to recycle; returns
// true when the worker is to be replaced by a fresh one.
bool serveRequests(int argc, char** argv, RequestCycle cycle, const FcgiSettings& settings) {
  while (awaitRequest()) {
    serveRequest(argc, argv, cycle);
    if (worker.recycle) return true;
    if (settings.maxRequests > 0 && worker.served >= settings.maxRequests) return true;
  }
  return false;
}

// A worker that ends releases what it kept for the requests to come: the
// kept templates (released in a context of their own, as a request would).
void endWorker() {
  Globals* G = InitializeAllGV(0);
  TemplateCacheClear(G);
  FinalizeAllGV(G);
}

// The worker's set-up: SIGTERM held back outside the wait, broken pipes
// reported as write errors, the request streams, the FastCGI library.
bool startWorker() {
  sigset_t held = processMask;
  sigaddset(&held, SIGTERM);
  sigprocmask(SIG_SETMASK, &held, nullptr);
  setHandler(SIGTERM, onStop, 0);
  setHandler(SIGPIPE, onBrokenPipe, SA_RESTART);
  static bool once = false;
  if (!once) {
    once = true;
    pthread_atfork(beforeFork, nullptr, restoreMaskInChild);
  }
  worker.environment = environ;
  openCommandFiles();
  if (!openStreams() || FCGX_Init() != 0) return false;
  if (FCGX_InitRequest(&worker.request, worker.listenFd, FCGI_FAIL_ACCEPT_ON_INTR) != 0) return false;
  return true;
}

// ---------------------------------------------------------------------------
// The supervisor

// A worker that ends within this time of its start is failing: the next
// one waits a moment, so that a broken set-up does not become a fork storm.
constexpr time_t kQuickEndSeconds = 1;

struct Child {
  pid_t pid;
  time_t started;
};

[[noreturn]] void runWorker(int argc, char** argv, RequestCycle cycle,
                            const FcgiSettings& settings) {
  // A worker does not outlive its supervisor: it finishes what it serves.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() == 1) std::exit(0);
  if (!startWorker()) std::exit(1);
  serveRequests(argc, argv, cycle, settings);
  endWorker();
  std::fflush(stdout);
  std::exit(0);
}

pid_t forkWorker(int argc, char** argv, RequestCycle cycle, const FcgiSettings& settings) {
  const pid_t pid = fork();
  if (pid == 0) runWorker(argc, argv, cycle, settings);
  return pid;
}

// Forks the workers, replaces any that ends, and on SIGTERM passes the
// signal on and waits until every worker has finished.
int supervise(int argc, char** argv, RequestCycle cycle, const FcgiSettings& settings) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGCHLD);
  sigset_t held = processMask;
  sigaddset(&held, SIGTERM);
  sigaddset(&held, SIGCHLD);
  sigprocmask(SIG_SETMASK, &held, nullptr);

  std::vector<Child> children;
  for (long i = 0; i < settings.children; ++i) {
    const pid_t pid = forkWorker(argc, argv, cycle, settings);
    if (pid > 0) children.push_back(Child{pid, std::time(nullptr)});
  }
  bool stopping = false;
  while (!children.empty()) {
    siginfo_t info{};
    if (sigwaitinfo(&signals, &info) < 0) continue;
    if (info.si_signo == SIGTERM && !stopping) {
      stopping = true;
      for (const Child& c : children) kill(c.pid, SIGTERM);
    }
    // Several ends may come with one SIGCHLD.
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      for (Child& c : children) {
        if (c.pid != pid) continue;
        if (stopping) {
          c = children.back();
          children.pop_back();
          break;
        }
        const time_t now = std::time(nullptr);
        if (now - c.started < kQuickEndSeconds) sleep(static_cast<unsigned>(kQuickEndSeconds));
        const pid_t fresh = forkWorker(argc, argv, cycle, settings);
        if (fresh > 0) {
          c = Child{fresh, std::time(nullptr)};
        } else {
          c = children.back();
          children.pop_back();
        }
        break;
      }
    }
  }
  return 0;
}

// A process that serves alone recycles itself by executing its program
// again, with the socket back on standard input: the same process for the
// web server and the process manager, with nothing left of the old one.
[[noreturn]] void executeAgain(char** argv) {
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(worker.listenFd, STDIN_FILENO);
  sigprocmask(SIG_SETMASK, &processMask, nullptr);
  environ = worker.environment;
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "braxel: cannot execute the program again: %s\n", std::strerror(errno));
  std::exit(1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry

bool FcgiListening() {
  // Under CGI standard input is no socket: fstat, which the reading of
  // files needs anyway, tells so without another library function.
  struct stat st;
  if (fstat(STDIN_FILENO, &st) == 0 && !S_ISSOCK(st.st_mode)) return false;
  int listening = 0;
  socklen_t length = sizeof listening;
  return getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 &&
         listening != 0;
}

int FcgiServe(int argc, char** argv, RequestCycle cycle) {
  const FcgiSettings settings{numberSetting("BRAXEL_FCGI_CHILDREN", kMaxChildren),
                              numberSetting("BRAXEL_FCGI_MAX_REQUESTS", kMaxRequestsLimit)};
  if (settings.children < 0 || settings.maxRequests < 0) {
    std::fprintf(stderr,
                 "braxel: BRAXEL_FCGI_CHILDREN must be a number from 0 to %ld and "
                 "BRAXEL_FCGI_MAX_REQUESTS a number from 0 (no limit) up\n",
                 kMaxChildren);
    return 2;
  }
  sigprocmask(SIG_SETMASK, nullptr, &processMask);
  InstallRequestEndHook();
  TemplateCacheStart();
  // The socket moves off standard input, which is the request's body while
  // a request is served and empty otherwise; commands a template starts
  // never inherit it. It does not block: workers that share it wait in
  // ppoll and take turns in accept.
  worker.nullFd = -1;
  worker.listenFd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (worker.listenFd < 0) {
    std::perror("braxel");
    return 1;
  }
  fcntl(worker.listenFd, F_SETFL, fcntl(worker.listenFd, F_GETFL) | O_NONBLOCK);
  emptyStandardInput();

  if (settings.children > 0) return supervise(argc, argv, cycle, settings);
  if (!startWorker()) {
    std::fputs("braxel: cannot start the FastCGI worker\n", stderr);
    return 1;
  }
  const bool recycle = serveRequests(argc, argv, cycle, settings);
  endWorker();
  if (recycle) executeAgain(argv);
  return 0;
}
