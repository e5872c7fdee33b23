// messages_test.cpp: the message store (the no-errors flag, information
// formats, the expected-token reduction, sorting), on the base library. How
// messages are written (under their line, linked, escaped, the source
// display) is tested end to end; records and markers through the scanner.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "diag/display.h"   // SortMessages (diag/messages.cpp)
#include "diag/messages.h"
#include "tests/unit/foundation_context.h"

namespace {

// The foundation records and the message store.
struct DiagContext : FoundationContext {
  DiagContext() { ErrorsInitializeGV(G); }
  ~DiagContext() { ErrorsFinalizeGV(G); }
  ErrorsRec* errors() { return G->Errors; }
  std::vector<MessageRecord*> records() {
    std::vector<MessageRecord*> out;
    for (MessageRecord* r = G->Errors->head; r; r = r->next) out.push_back(r);
    return out;
  }
};

Position At(int line, int column, const char* file = "page.brx") {
  return Position{static_cast<uint16_t>(line), static_cast<uint16_t>(column), file};
}

// ---- The store ------------------------------------------------------------

// Each way of storing a message clears the flag that lets a template run.
TEST(MessageStore, TheNoErrorsFlagAndTheReducedExpectedTokens) {
  DiagContext c;
  const std::function<void()> stores[] = {
      [&] { ErrorMessage(c.G, 1, xxError, At(3, 7)); },
      [&] { ErrorMessageI(c.G, 4, xxRepair, At(3, 7), InfoText("x")); },
      [&] { Message(c.G, "plain", xxError, At(5, 1)); },
      [&] { MessageI(c.G, "with info", xxError, At(4, 2), InfoText("abc")); }};
  for (const auto& store : stores) {
    c.errors()->X_NoErrors = 1;
    store();
    EXPECT_EQ(0, c.errors()->X_NoErrors);
  }
  const std::pair<const char*, const char*> cases[] = {
      {"HTMLText <dbquery </while </if <else ", "/if"}, {"</defenv </def ", "/defenv"},
      {"HTMLText </def <let ", "/def"}, {"HTMLText </assign </while ", "/assign"},
      {"</db </include ", "/db"}, {"<else HTMLText ", "else"},
      {"</UserEnvironment ", "/UserEnvironment"}, {"</mail </shell ", "/shell"},
      {"Ident Integer ", "Ident Integer "}};
  for (const auto& [tokens, reduced] : cases) {
    DiagContext c;
    ErrorMessageI(c.G, 2, xxInformation, At(2, 1), InfoTokens(tokens));
    EXPECT_STREQ(reduced, c.records()[0]->info) << tokens;
  }
  // Other codes keep the whole list.
  DiagContext other;
  ErrorMessageI(other.G, 7, xxInformation, At(2, 1), InfoTokens("</if </while "));
  EXPECT_STREQ("</if </while ", other.records()[0]->info);
}

// ---- Sorting --------------------------------------------------------------

TEST(MessageSorting, RunsOfOneFileAreOrderedStably) {
  DiagContext c;
  static const char* const kA = "a.brx";
  static const char* const kB = "b.brx";
  // a: (5,1) (2,3) (2,3)' (2,1); b: (1,1) (0,9); a: (1,1); none: (9,9) (3,3)
  const struct { const char* text; int line, column; const char* file; } added[] = {
      {"a5", 5, 1, kA},   {"a23", 2, 3, kA}, {"a23'", 2, 3, kA},       {"a21", 2, 1, kA},     {"b11", 1, 1, kB},
      {"b09", 0, 9, kB}, {"a11", 1, 1, "a.brx"}, {"n99", 9, 9, nullptr}, {"n33", 3, 3, nullptr}};
  for (const auto& m : added) Message(c.G, m.text, 3, At(m.line, m.column, m.file));
  SortMessages(c.G);
  std::string order;
  for (MessageRecord* r : c.records()) order += std::string(r->text) + " ";
  EXPECT_EQ("a21 a23 a23' a5 b09 b11 a11 n33 n99 ", order);
  EXPECT_STREQ("n99", c.errors()->tail->text);
  EXPECT_EQ(nullptr, c.errors()->tail->next);
}

}  // namespace
