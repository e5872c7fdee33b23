// cgi.h: predefined identifiers and variables, the three root names, the
// form arguments and the web-server queries.
#pragma once

#include "driver/globals.h"   // serverOwnLink, serverRemoteIp, serverRemoteUser
#include "support/types.h"
#include "values/value.h"

// Predefined identifiers, created by InitIdentifiers in the documented order.
// IxSrvBgn..IxSrvEnd bound the Srv... block; SrvPid lies inside it but is an
// ordinary variable (IsPredefinedVariable is false for it).
extern Ident Idhead, Idtop, Idbody, Idrowbegin, Idrowend, Idcolumn, Idfoot;
extern Ident IdSrvMax, Idbraxel, Idstamp, IdSrvMaxNest, Idempty;
extern Ident IxSrvBgn, IxSrvEnd;   // first and last of the Srv... block
extern Ident IdSrvHost, IdSrv_Remote_Host, IdSrvHostname, IdSrvName, IdSrvIp,
    IdSrv_Remote_Addr, IdSrvDate, IdSrvTime, IdSrvTimeZone, IdSrvDaylight,
    IdSrvTZName, IdSrvFname, IdSrvField, IdSrvServer, IdSrvDbsys, IdSrvOs,
    IdSrvUserAgent, IdSrv_Http_User_Agent, IdSrvUser, IdSrv_Remote_User,
    IdSrv_Server_Name, IdSrv_Server_Port, IdSrv_Server_Admin,
    IdSrv_Server_Protocol, IdSrvFileName, IdSrvLocalUrl, IdSrvBraxelVersion,
    IdSrv_Server_Software, IdSrvDebug, IdSrv_Http_Accept, IdSrvPid;
extern Ident Idupdate, Idaltquery, Iddatabase, Idff, Idgl, Idse, IdSrvDebugShow,
    Idthis;

void InitIdentifiers(Globals* G);

// The value of a plain variable name: a predefined Srv... value (a fresh
// temporary for texts), the ff/gl/se cells (shared), or the field of that
// name in scope (shared); errorValue when absent.
Value GetLocalVariable(Globals* G, Value scope, Ident id);
bool IsPredefinedVariable(Ident id);

// Decodes the form arguments (GET query string or standard input) into a new
// tuple (capacity 20), returned as a temporary (VF_TEMP). Reads through the
// scanner's form states. A dotted name below a field holding a text turns
// that field into a tuple; a "." not followed by a name is skipped; a value
// piece that would make the text longer than 32767 bytes is left out.
Value dbhReadFormArgs(Globals* G);
// Decodes the given text the same way (decodeurl); also a temporary. The
// Source module's read mode is restored afterwards.
Value dbhDecodeFormText(Globals* G, const char* text);
