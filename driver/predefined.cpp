// predefined.cpp: the predefined identifiers, made once at start-up in the
// documented order, and the block of predefined Srv... variables. Their
// values are computed by the CGI module (cgi.cpp).
#include "driver/predefined.h"

#include <cstddef>

#include "support/idents.h"

// ---------------------------------------------------------------------------
// The identifiers

Ident Idhead, Idtop, Idbody, Idrowbegin, Idrowend, Idcolumn, Idfoot;
Ident IdSrvMax, Idbraxel, Idstamp, IdSrvMaxNest, Idempty;
Ident IxSrvBgn, IxSrvEnd;
Ident IdSrvHost, IdSrv_Remote_Host, IdSrvHostname, IdSrvName, IdSrvIp, IdSrv_Remote_Addr,
    IdSrvDate, IdSrvTime, IdSrvTimeZone, IdSrvDaylight, IdSrvTZName, IdSrvFname, IdSrvField,
    IdSrvServer, IdSrvDbsys, IdSrvOs, IdSrvUserAgent, IdSrv_Http_User_Agent, IdSrvUser,
    IdSrv_Remote_User, IdSrv_Server_Name, IdSrv_Server_Port, IdSrv_Server_Admin,
    IdSrv_Server_Protocol, IdSrvFileName, IdSrvLocalUrl, IdSrvBraxelVersion,
    IdSrv_Server_Software, IdSrvDebug, IdSrv_Http_Accept, IdSrvPid;
Ident Idupdate, Idaltquery, Iddatabase, Idff, Idgl, Idse, IdSrvDebugShow, Idthis;

Ident IdZero, IdOne;

// The block of predefined variables, in creation order. SrvPid stands in
// the block but has no predefined value: it is read as an ordinary variable.
static Ident* const kSrvBlock[] = {
    &IdSrvHost,          &IdSrv_Remote_Host,     &IdSrvHostname,      &IdSrvName,
    &IdSrvIp,            &IdSrv_Remote_Addr,     &IdSrvDate,          &IdSrvTime,
    &IdSrvTimeZone,      &IdSrvDaylight,         &IdSrvTZName,        &IdSrvFname,
    &IdSrvField,         &IdSrvServer,           &IdSrvDbsys,         &IdSrvOs,
    &IdSrvUserAgent,     &IdSrv_Http_User_Agent, &IdSrvUser,          &IdSrv_Remote_User,
    &IdSrv_Server_Name,  &IdSrv_Server_Port,     &IdSrv_Server_Admin, &IdSrv_Server_Protocol,
    &IdSrvFileName,      &IdSrvLocalUrl,         &IdSrvBraxelVersion, &IdSrvPid,
    &IdSrv_Server_Software, &IdSrvDebug,         &IdSrv_Http_Accept,
};
static const char* const kSrvNames[] = {
    "SrvHost",          "Srv_Remote_Host",     "SrvHostname",      "SrvName",
    "SrvIp",            "Srv_Remote_Addr",     "SrvDate",          "SrvTime",
    "SrvTimeZone",      "SrvDaylight",         "SrvTZName",        "SrvFname",
    "SrvField",         "SrvServer",           "SrvDbsys",         "SrvOs",
    "SrvUserAgent",     "Srv_Http_User_Agent", "SrvUser",          "Srv_Remote_User",
    "Srv_Server_Name",  "Srv_Server_Port",     "Srv_Server_Admin", "Srv_Server_Protocol",
    "SrvFileName",      "SrvLocalUrl",         "SrvBraxelVersion", "SrvPid",
    "Srv_Server_Software", "SrvDebug",         "Srv_Http_Accept",
};
static_assert(sizeof kSrvBlock / sizeof kSrvBlock[0] == sizeof kSrvNames / sizeof kSrvNames[0],
              "the predefined block and its names must stay in step");

void InitIdentifiers(Globals* G) {
  // The names close the seed the table starts with, in this order
  // (kPredefinedNames in interp/builtins.cpp): after the first, each is
  // looked for right after the one before (MakeSeededIdent).
  Ident next = 0;
  const auto make = [G, &next](Ident* id, const char* name) {
    *id = MakeSeededIdent(G, next, name);
    next = *id + 1;
  };
  make(&Idhead, "head");
  make(&Idtop, "top");
  make(&Idbody, "body");
  make(&Idrowbegin, "rowbegin");
  make(&Idrowend, "rowend");
  make(&Idcolumn, "column");
  make(&Idfoot, "foot");

  make(&IdSrvMax, "SrvMax");
  make(&Idbraxel, "braxel");
  make(&Idstamp, "stamp");
  make(&IdSrvMaxNest, "SrvMaxNest");
  make(&Idempty, "empty");

  // The block is made in one sequence; its bounds are taken over all of its
  // numbers, so that a name another module made earlier still falls inside.
  const size_t n = sizeof kSrvBlock / sizeof kSrvBlock[0];
  for (size_t i = 0; i < n; ++i) make(kSrvBlock[i], kSrvNames[i]);
  IxSrvBgn = IxSrvEnd = *kSrvBlock[0];
  for (Ident* id : kSrvBlock) {
    if (*id < IxSrvBgn) IxSrvBgn = *id;
    if (*id > IxSrvEnd) IxSrvEnd = *id;
  }

  make(&Idupdate, "update");
  make(&Idaltquery, "altquery");
  make(&Iddatabase, "database");
  make(&Idff, "ff");
  make(&Idgl, "gl");
  make(&Idse, "se");
  make(&IdSrvDebugShow, "SrvDebugShow");
  make(&Idthis, "this");

  make(&IdZero, "0");
  make(&IdOne, "1");
}

bool IsPredefinedVariable(Ident id) {
  if (id < IxSrvBgn || id > IxSrvEnd || id == IdSrvPid) return false;
  for (Ident* p : kSrvBlock)
    if (*p == id) return true;
  return false;
}
