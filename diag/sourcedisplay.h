// sourcedisplay.h: the annotated source display ($debug=pp) that also
// builds the syntax-error page.
#pragma once

#include "support/types.h"

// True when the request was answered with a source display (or nothing).
bool BraxelDebug(Globals* G, const char* templateName, int mode);
void BraxelPrettyPrint(Globals* G, Token* tree, const char* fileName);
// The text of the form variable of that name when it is a String, else null.
const char* GetFormString(Globals* G, const char* name);
