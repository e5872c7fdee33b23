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

static void make(Globals* G, Ident* id, const char* name) { *id = MakeIdent(G, name); }

void InitIdentifiers(Globals* G) {
  make(G, &Idhead, "head");
  make(G, &Idtop, "top");
  make(G, &Idbody, "body");
  make(G, &Idrowbegin, "rowbegin");
  make(G, &Idrowend, "rowend");
  make(G, &Idcolumn, "column");
  make(G, &Idfoot, "foot");

  make(G, &IdSrvMax, "SrvMax");
  make(G, &Idbraxel, "braxel");
  make(G, &Idstamp, "stamp");
  make(G, &IdSrvMaxNest, "SrvMaxNest");
  make(G, &Idempty, "empty");

  // The block is made in one sequence; its bounds are taken over all of its
  // numbers, so that a name another module made earlier still falls inside.
  const size_t n = sizeof kSrvBlock / sizeof kSrvBlock[0];
  for (size_t i = 0; i < n; ++i) make(G, kSrvBlock[i], kSrvNames[i]);
  IxSrvBgn = IxSrvEnd = *kSrvBlock[0];
  for (Ident* id : kSrvBlock) {
    if (*id < IxSrvBgn) IxSrvBgn = *id;
    if (*id > IxSrvEnd) IxSrvEnd = *id;
  }

  make(G, &Idupdate, "update");
  make(G, &Idaltquery, "altquery");
  make(G, &Iddatabase, "database");
  make(G, &Idff, "ff");
  make(G, &Idgl, "gl");
  make(G, &Idse, "se");
  make(G, &IdSrvDebugShow, "SrvDebugShow");
  make(G, &Idthis, "this");

  make(G, &IdZero, "0");
  make(G, &IdOne, "1");
}

bool IsPredefinedVariable(Ident id) {
  if (id < IxSrvBgn || id > IxSrvEnd || id == IdSrvPid) return false;
  for (Ident* p : kSrvBlock)
    if (*p == id) return true;
  return false;
}
