// globals.h: the global context G, the serverInterface record, the fatal
// path and the error log (base library: driver/server.cpp). The records of
// the layers above are created and released by driver/request.h.
#pragma once

#include "support/types.h"

struct StorageRec;
struct ServerInterface;
struct SystemRec;
struct IdentsRec;
struct ErrorsRec;
struct SourceRec;
struct ScannerRec;
struct ScanAttr;
struct ScannerBuffers;
struct ParserRec;
struct TokenModule;
struct ValueModule;
struct DbhfunRec;
struct DbhtmlRec;
struct QueryRec;
struct EnvironmentModule;
struct ExprRec;
struct SessionRec;
struct ResourceConfig;

// The global context: slot 0 the instance word, then one record per module
// in the order of creation. Every module keeps its state only here (the
// database layer and its binding keep process-wide state of their own, so
// that a connection can outlive a request cycle).
struct Globals {
  long instance;                      //  0
  StorageRec* Storage;                //  1 memory blocks
  ServerInterface* serverInterface;   //  2 streams, include path, budget, configuration
  SystemRec* System;                  //  3 file handle table
  IdentsRec* Idents;                  //  4 identifier table
  ErrorsRec* Errors;                  //  5 message store, display state
  SourceRec* Source;                  //  6 input mode, include stack
  ScannerRec* Scanner;                //  7 scanner status, format identifiers
  ScanAttr* ScannerAttribute;         //  8 attribute of the current token
  ScannerBuffers* ScannerBuf;         //  9 input buffer, start states
  ParserRec* Parser;                  // 10 root of the last parse
  TokenModule* token;                 // 11 definition table
  void* db;                           // 12 database layer slot (state is static)
  void* dbi;                          // 13 database binding slot (state is static)
  ValueModule* value;                 // 14 ff, gl, se
  DbhfunRec* dbhfun;                  // 15 built-in function registry
  DbhtmlRec* dbhtml;                  // 16 interpreter settings
  unsigned char* html;                // 17 one byte, unused
  QueryRec* query;                    // 18 query stack, commit decision
  EnvironmentModule* environment;     // 19 outermost call frame
  ExprRec* expr;                      // 20 expression-node pool
  SessionRec* session;                // 21 session files
  void* cmc;                          // 22 mail interface slot, always null
};

// Size of the buffer that holds the file name a template search found.
inline constexpr size_t kFoundFileSize = 1024;

// The serverInterface record (slot 2). Created uncharged, before the budget.
struct ServerInterface {
  FILE* X_Out;                 // page output: standard output
  FILE* X_ErrOut;              // the driver's own error pages: standard output
  void* X_Unused;
  char* X_IncludePath;         // after ConvertIncludePath; null until then
  int64_t X_MemLeft;           // remaining budget in bytes (64-bit, see memory.h)
  ResourceConfig* X_Resource;  // the configuration; see Cfg() in driver/config.h
  // The file found by the last template read (dbhLastFoundFile); empty when
  // that search failed. Its address never changes during the run.
  char X_FoundFile[kFoundFileSize];
};

// The context record itself (the module records: driver/request.h).
Globals* globalsInitializeGV(long instance);
void globalsFinalizeGV(Globals* G);

void serverInterfaceInitializeGV(Globals* G);
void serverInterfaceFinalizeGV(Globals* G);

// ---- The fatal path ----------------------------------------------------------
// Every fatal end of a request comes to serverFatal: a fatal message, the
// error pages (through serverExit), the memory budget, a refused allocation,
// a failed consistency check, a configuration error. serverFatal hands it to
// the one handler that main installs at start-up (as Lua's lua_atpanic), so
// that the base library (support, values, the output channel, the
// configuration reader, the message store) reaches the error pages and the
// release of the records only through it. The handler of a CGI or
// command-line run (InstallUpperHooks, driver/request.h) writes the fatal message's page,
// releases the records, flushes and exits with status 1; a persistent mode
// installs one that unwinds to its request loop instead. Without a handler,
// or when it returns, the message goes to standard error and the process
// exits with status 1.

// A fatal message, or a plain end when text is null.
struct FatalEvent {
  const char* text;
  Position pos;
  const char* info;   // the formatted information; "" for none
};
using FatalHandler = void (*)(Globals* G, const FatalEvent& event);
// Installs the handler; returns the previous one.
FatalHandler serverSetFatalHandler(FatalHandler handler);
[[noreturn]] void serverFatal(Globals* G, const FatalEvent& event);
// Ends the request after a fatal error whose page is written (a plain end).
// G may be null: an end before the context exists, or one that must not
// release it again (a refused allocation on the way out).
[[noreturn]] void serverExit(Globals* G, const char* reason = nullptr);

// Appends one line to the configured error log (no-op without errorlog).
void serverLog(Globals* G, const char* text);

// The web server's facts about the request.
const char* serverOwnLink();      // SCRIPT_NAME or null
const char* serverRemoteIp();     // REMOTE_ADDR; null under a server; "static"
const char* serverRemoteUser();   // REMOTE_USER or null
