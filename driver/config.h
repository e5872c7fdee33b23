// config.h: the configuration file `.braxel` and its record.
#pragma once

#include "driver/globals.h"
#include "support/types.h"

// Switch values: 1 true, 0 false, 2 not given.
inline constexpr int kSwitchFalse = 0;
inline constexpr int kSwitchTrue = 1;
inline constexpr int kSwitchNotGiven = 2;
// timelimit when the file does not set it: web requests then get
// kDefaultTimeLimit seconds, command-line runs none.
inline constexpr long kTimeLimitNotGiven = -1;
inline constexpr long kDefaultTimeLimit = 30;
// sessionstore: where the session functions keep sessions.
inline constexpr int kSessionStoreFile = 0;       // files in sessiondir
inline constexpr int kSessionStoreDatabase = 1;   // rows of braxel_session
// "only when true"
inline bool SwitchOn(int v) { return v == kSwitchTrue; }
// "any value but false"
inline bool SwitchNotOff(int v) { return v != kSwitchFalse; }

// One field per key, in position order. Text fields are owned copies or null.
struct ResourceConfig {
  char* fileName;       // the configuration file's own path
  char* user;           //  1
  char* passwd;         //  2 (password)
  char* dbname;         //  3 (name)
  char* dbhost;         //  4 (host, datasource)
  int dbwrite;          //  5 (allowwrite)        switch, not given
  int optconn;          //  6 (optimizeconnect)   switch, not given
  char* include;        //  7 (includepath)       "" by default
  int access;           //  8 (allowaccess)       switch, true
  int override_;        //  9 (allowoverride)     switch, true
  int symlink;          // 10 (linksallowed)      switch, not given
                        // 11 reserved position
  long memlimit;        // 12 MB
  long timelimit;       // 13; kTimeLimitNotGiven when absent
  char* sessiondir;     // 14 "/tmp"
  int sessionipcheck;   // 15 switch, not given
  char* debugip;        // 16
  char* debuguser;      // 17
  char* debugdir;       // 18
  char* admin;          // 19 "root"
  int secure;           // 20 switch, not given
  char* errorlog;       // 21
  char* mailservice;    // 22
  char* mailprofile;    // 23
  char* mailpassword;   // 24
  int germanchar;       // 25 switch, not given
  char* shelltemp;      // 26 "/tmp"
  int autocommit;       // 27 switch, not given
  int isolation;        // 28 0..5
  // Keys given by name only.
  char* charset;        // the page's character set in the Content-type line
  int sessionstore;     // kSessionStoreFile or kSessionStoreDatabase
  int templatecache;    // a process serving many requests keeps parsed templates unless false
};

// The built-in defaults.
extern const ResourceConfig kDefaultConfig;

// The configuration in force: X_Resource, or the built-in defaults before
// the file has been read. Never null. Inline: a page asks it for every piece
// of text it writes (the German-character mode).
inline const ResourceConfig& Cfg(Globals* G) {
  if (G != nullptr && G->serverInterface != nullptr && G->serverInterface->X_Resource != nullptr)
    return *G->serverInterface->X_Resource;
  return kDefaultConfig;
}

// Finds, reads and checks `.braxel`; ends the process with an error page on
// any failure. The template path may be null.
ResourceConfig* readResourceFile(Globals* G, const char* programPath,
                                 const char* templatePath);
// Rewrites *include so that relative entries are relative to the directory
// of the configuration file. Returns 1 unchanged when configPath is null.
int ConvertIncludePath(Globals* G, char** include, const char* configPath);
void FreeResourceConfig(ResourceConfig* r);
