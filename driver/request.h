// request.h: the whole context of a request: every module record created and
// released in order, the hooks through which the base library reaches the
// layers above it, and the template run.
#pragma once

#include "driver/globals.h"
#include "driver/http.h"

// Creates G and every module record, the Storage and serverInterface records
// first; FinalizeAllGV releases them (neither commits nor writes output).
Globals* InitializeAllGV(long instance);
void FinalizeAllGV(Globals* G);
// The end of a process that served one request: what FinalizeAllGV does
// that can be seen outside (the held page goes out, a session file is
// unlocked), without releasing the records, which the exit does at once.
// Under the leak checker it is FinalizeAllGV.
void EndProcessGV(Globals* G);

// Installs the fatal handler of a CGI or command-line run (the fatal
// message's page, FinalizeAllGV, exit status 1) and the value module's
// hooks. main calls it before anything can fail.
void InstallUpperHooks();

// A persistent mode (driver/fastcgi.h) replaces the fatal handler by one
// that writes the fatal message's page as before and then throws
// RequestEnded: the request ends, the process goes on. The loop that
// catches it releases the records of the cycle (RequestSlot::G).
struct RequestEnded {
  int status;   // the exit status a CGI run would have had
};
void InstallRequestEndHook();

// What a request cycle needs from the mode that runs it, and what it
// leaves there: where the page's bytes go (null raw: standard output's
// descriptor) and the cycle's context while it exists, so that a fatal end
// can still release it.
struct RequestSlot {
  HttpRawWrite raw;
  void* target;
  Globals* G;
  bool lastRequest;   // the process ends after it (a CGI or command-line run)
};
// One whole request: configuration, form, template, page. Returns the
// exit status of a CGI run; a fatal end leaves through the fatal handler.
using RequestCycle = int (*)(int argc, char** argv, RequestSlot* slot);

// The main template run and the end of the database work (driver/main.cpp).
void processTemplateFile(Globals* G, const char* name);
void ProcessDbh(Globals* G, Token* tree);
