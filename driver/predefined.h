// predefined.h: the predefined identifiers (section names, root names, the
// Srv... variables) that the scanner, the interpreter and the CGI module
// share, and their creation.
#pragma once

#include "support/types.h"

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
// The field names of SrvTZName ("0" and "1").
extern Ident IdZero, IdOne;

// True for a name of the Srv... block that has a predefined value (all but
// SrvPid).
bool IsPredefinedVariable(Ident id);
