// tags.h: the include, shell, mail and assign tags.
#pragma once

#include "support/types.h"

int include_dbh(Globals* G, Token* node);
int execute_shell(Globals* G, Token* node);
int send_mail(Globals* G, Token* node);
int perform_assign(Globals* G, Token* node);
