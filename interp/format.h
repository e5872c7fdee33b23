// format.h: output formats: the named formats and format strings.
#pragma once

#include "support/types.h"
#include "values/value.h"

// A TKexprformat node (named format).
void FormatNamed(Globals* G, Token* node, Value hostTuple);
// Renders expr (or field, in the recursion over a tuple) by the format text.
void FormatValue(Globals* G, Token* expr, const char* format, Field* field,
                 const char* prefix, Position pos, Value hostTuple);
