// testing.cpp: helpers shared by the unit tests (base library only; the
// whole-system helpers are in testing_core.cpp).
#include "tests/unit/testing.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

ScratchFolder::ScratchFolder() {
  char templ[] = "/tmp/braxel-test-XXXXXX";
  path = mkdtemp(templ);
}

ScratchFolder::~ScratchFolder() { std::filesystem::remove_all(path); }

std::string ScratchFolder::put(const std::string& name, const std::string& bytes) const {
  const std::filesystem::path p = std::filesystem::path(path) / name;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
  return p.string();
}
