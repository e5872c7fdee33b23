// testing_core.cpp: the helpers of the unit tests that run on the whole
// system: a complete global context, and the hooks main installs.
#include "tests/unit/testing_core.h"

#include "driver/cgi.h"

// As main does before anything can fail: the fatal handler and the value
// module's hooks are in place for every test of this program.
[[maybe_unused]] static const bool hooksInstalled = [] {
  InstallUpperHooks();
  return true;
}();

Globals* NewTestGlobals() {
  Globals* G = InitializeAllGV(0);
  InitIdentifiers(G);
  return G;
}
