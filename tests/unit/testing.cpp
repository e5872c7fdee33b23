// testing.cpp: helpers shared by the unit tests (base library only; the
// whole-system helpers are in testing_core.cpp).
#include "tests/unit/testing.h"

#include <vector>

#include "driver/output.h"

std::string CaptureOutput(Globals* G, const std::function<void()>& f, size_t capacity) {
  std::vector<char> storage(capacity);
  CaptureBuffer buffer = MakeCapture(storage.data(), storage.size());
  CaptureBuffer* saved = PQTBuffer;
  serverSendOutputToBuffer(G, &buffer);
  f();
  if (saved == nullptr) serverSendOutputToClient();
  PQTBuffer = saved;
  if (saved != nullptr) serverSendOutputToBuffer(G, saved);
  return std::string(storage.data());
}
