// testing.h: helpers shared by the unit tests.
#pragma once

#include <functional>
#include <string>

#include "driver/request.h"

// A complete global context, as main builds it (InitializeAllGV and
// InitIdentifiers). Free with FinalizeAllGV. In testing_core.cpp: only the
// tests linked against the whole system have it.
Globals* NewTestGlobals();

// Runs f with the page output captured (buffer sink) and returns the text.
std::string CaptureOutput(Globals* G, const std::function<void()>& f,
                          size_t capacity = 1 << 20);
