// request.h: the whole context of a request: every module record created and
// released in order, the hooks through which the base library reaches the
// layers above it, and the template run.
#pragma once

#include "driver/globals.h"

// Creates G and every module record, the Storage and serverInterface records
// first; FinalizeAllGV releases them (neither commits nor writes output).
Globals* InitializeAllGV(long instance);
void FinalizeAllGV(Globals* G);

// Installs the fatal handler of a CGI or command-line run (the fatal
// message's page, FinalizeAllGV, exit status 1) and the value module's
// hooks. main calls it before anything can fail.
void InstallUpperHooks();

// The main template run and the end of the database work (driver/main.cpp).
void processTemplateFile(Globals* G, const char* name);
void ProcessDbh(Globals* G, Token* tree);
