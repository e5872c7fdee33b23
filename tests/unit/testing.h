// testing.h: helpers shared by the unit tests, on the base library alone
// (the whole-system helpers are in testing_core.h).
#pragma once

#include <functional>
#include <string>

#include "driver/globals.h"

// Runs f with the page output captured (buffer sink) and returns the text.
std::string CaptureOutput(Globals* G, const std::function<void()>& f,
                          size_t capacity = 1 << 20);

// A fresh folder under /tmp, removed with everything in it at the end.
struct ScratchFolder {
  std::string path;
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  // Writes bytes to name below the folder, making its folders; returns the path.
  std::string put(const std::string& name, const std::string& bytes = "") const;
};
