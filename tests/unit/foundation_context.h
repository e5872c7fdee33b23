// foundation_context.h: a small global context for the support and value
// tests: the records of memory, server interface, file layer, identifiers
// and values only, built the way start-up builds them.
#pragma once

#include <string>

#include "driver/config.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"
#include "values/value.h"

struct FoundationContext {
  Globals* G;

  explicit FoundationContext(int64_t budget = kInitialMemBudget) {
    G = bxNewUncharged<Globals>(nullptr);
    StorageInitializeGV(G);
    ServerInterface* si = bxNewUncharged<ServerInterface>(G);
    si->X_Out = stdout;
    si->X_ErrOut = stdout;
    si->X_MemLeft = kInitialMemBudget;
    si->X_Resource = bxNewUncharged<ResourceConfig>(G);
    si->X_Resource->germanchar = kSwitchNotGiven;
    G->serverInterface = si;
    SystemInitializeGV(G);
    IdentsInitializeGV(G);
    valueInitializeGV(G);
    serverSendOutputToClient();
    PQTBuffer = nullptr;
    // As the memlimit key does: start-up so far is not counted.
    si->X_MemLeft = budget;
  }
  ~FoundationContext() {
    serverSendOutputToClient();
    PQTBuffer = nullptr;
    valueFinalizeGV(G);
    IdentsFinalizeGV(G);
    SystemFinalizeGV(G);
    bxFree(G->serverInterface->X_Resource);
    bxFree(G->serverInterface);
    G->serverInterface = nullptr;
    StorageFinalizeGV(G);
    bxFree(G);
  }
  FoundationContext(const FoundationContext&) = delete;
  FoundationContext& operator=(const FoundationContext&) = delete;

  int64_t& left() { return G->serverInterface->X_MemLeft; }
  void setGerman(int value) { G->serverInterface->X_Resource->germanchar = value; }
  // Fatal messages of the exit paths land on standard error, where the
  // death tests look for them.
  void errorPagesToStderr() { G->serverInterface->X_ErrOut = stderr; }
};
