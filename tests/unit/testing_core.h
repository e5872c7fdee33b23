// testing_core.h: the helpers of the unit tests that link the whole system
// (testing_core.cpp).
#pragma once

#include "driver/request.h"
#include "tests/unit/testing.h"

// A complete global context, as main builds it (InitializeAllGV and
// InitIdentifiers), with the hooks main installs. Free with FinalizeAllGV.
Globals* NewTestGlobals();

// Such a context for as long as its owner lives (a fixture derives from it).
struct TestGlobals {
  Globals* G = NewTestGlobals();
  ~TestGlobals() { FinalizeAllGV(G); }
};
