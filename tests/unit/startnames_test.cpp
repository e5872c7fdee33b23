// startnames_test.cpp: the names every request starts with keep the numbers
// start-up has always given them (a session file stores the numbers), and
// start-up makes no name outside them.
#include <gtest/gtest.h>

#include <string>

#include "driver/globals.h"
#include "driver/predefined.h"
#include "driver/request.h"
#include "interp/builtins.h"
#include "support/idents.h"

namespace {

// In the order of their numbers, from 1.
constexpr const char* kNumbered =
    "html furl quoted dbhtml input cust hstv asc chr contains containscase copy clone crypt "
    "decodeurl default directory fname index indexcase integer isnull isbool isdecl isempty "
    "isinteger isstring istuple isreal left len random real right srandom subst substall "
    "substring tolower toupper trim trimleft trimright array resize ArAppend ArConcat "
    "TuAppField TuInsField TuAssField TuDelField TuName TuFieldSort TuSlice TuProject TuMerge "
    "TuAssign cookie httpheader sessionkey setcookie repeat sessioniOpen sessioniRead "
    "sessioniClose sessioniAbort sessioniCreate sessioniDelete head top body rowbegin rowend "
    "column foot SrvMax braxel stamp SrvMaxNest empty SrvHost Srv_Remote_Host SrvHostname "
    "SrvName SrvIp Srv_Remote_Addr SrvDate SrvTime SrvTimeZone SrvDaylight SrvTZName SrvFname "
    "SrvField SrvServer SrvDbsys SrvOs SrvUserAgent Srv_Http_User_Agent SrvUser "
    "Srv_Remote_User Srv_Server_Name Srv_Server_Port Srv_Server_Admin Srv_Server_Protocol "
    "SrvFileName SrvLocalUrl SrvBraxelVersion SrvPid Srv_Server_Software SrvDebug "
    "Srv_Http_Accept update altquery database ff gl se SrvDebugShow this 0 1";

TEST(StartNames, KeepTheirNumbersAndAreAllStartUpMakes) {
  InstallUpperHooks();
  Globals* G = InitializeAllGV(0);
  InitIdentifiers(G);
  EXPECT_EQ(kStartNames.count, MaxIdent(G)) << "start-up made a name outside the seed";
  std::string names;
  for (Ident i = 1; i <= MaxIdent(G); ++i) names += std::string(i > 1 ? " " : "") + GetStringIdent(G, i);
  EXPECT_EQ(kNumbered, names);
  EXPECT_EQ(69u, Idhead);
  EXPECT_EQ(121u, IdOne);
  // A start name that is no built-in finds no function record.
  EXPECT_EQ(nullptr, FindFunction(G, MakeIdent(G, "head")));
  FinalizeAllGV(G);
}

}  // namespace
