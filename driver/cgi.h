// cgi.h: the values of the predefined variables, the three root names and
// the form arguments (the identifiers themselves: driver/predefined.h).
#pragma once

#include "driver/globals.h"      // serverOwnLink, serverRemoteIp, serverRemoteUser
#include "driver/predefined.h"   // the identifiers and InitIdentifiers
#include "support/types.h"
#include "values/value.h"

// The value of a plain variable name: a predefined Srv... value (a fresh
// temporary for texts), the ff/gl/se cells (shared), or the field of that
// name in scope (shared); errorValue when absent.
Value GetLocalVariable(Globals* G, Value scope, Ident id);

// Decodes the form arguments (GET query string or standard input) into a new
// tuple (capacity 20), returned as a temporary (VF_TEMP). Reads through the
// scanner's form states. A dotted name below a field holding a text turns
// that field into a tuple; a "." not followed by a name is skipped; a value
// piece that would make the text longer than 32767 bytes is left out.
Value dbhReadFormArgs(Globals* G);
// Decodes the given text the same way (decodeurl); also a temporary. The
// Source module's read mode is restored afterwards.
Value dbhDecodeFormText(Globals* G, const char* text);
