// foundation_context.h: a small global context for the support and value
// tests: the records of memory, server interface, file layer, identifiers
// and values only, built by the same functions start-up uses.
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
    G = globalsInitializeGV(0);
    StorageInitializeGV(G);
    serverInterfaceInitializeGV(G);
    // A configuration record of its own, so that a test can set a key.
    ResourceConfig* r = bxNewUncharged<ResourceConfig>(G);
    r->germanchar = kSwitchNotGiven;
    G->serverInterface->X_Resource = r;
    SystemInitializeGV(G);
    IdentsInitializeGV(G);
    valueInitializeGV(G);
    // As the memlimit key does: start-up so far is not counted.
    G->serverInterface->X_MemLeft = budget;
  }
  ~FoundationContext() {
    serverDropCapture();
    valueFinalizeGV(G);
    IdentsFinalizeGV(G);
    SystemFinalizeGV(G);
    serverInterfaceFinalizeGV(G);
    StorageFinalizeGV(G);
    globalsFinalizeGV(G);
  }
  FoundationContext(const FoundationContext&) = delete;
  FoundationContext& operator=(const FoundationContext&) = delete;

  int64_t& left() { return G->serverInterface->X_MemLeft; }
  void setGerman(int value) { G->serverInterface->X_Resource->germanchar = value; }
  // Fatal messages of the exit paths land on standard error, where the
  // death tests look for them.
  void errorPagesToStderr() { G->serverInterface->X_ErrOut = stderr; }
};
