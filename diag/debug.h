// debug.h: debug mode and the variable display (context of error pages,
// tuple display).
#pragma once

#include "support/types.h"
#include "values/value.h"

bool IsDebugMode(Globals* G);
void ShowContext(Globals* G, Position pos);
void ShowTuple(Globals* G, Value tuple, const char* name);
void DisplayPosition(Globals* G, Position pos);
// Writes the start of a link into the source display, up to the file name:
// "<a href=\"", the script, "?$debug=pp", the request's braxel field (when
// it has one) and "&$file=".
void WriteSourceLinkStart(Globals* G);

// The estimated length of a tuple's inline form (decides between the inline,
// abbreviated and nested-table forms of the display).
int64_t EstimatedShowLength(Globals* G, Value tuple);
