// tree_test.cpp: the syntax tree module: definition table, expression pool
// and the side-effect pass on deep expressions (its rules: parser_test).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/scanner.h"
#include "frontend/tree.h"
#include "support/idents.h"
#include "tests/unit/testing_core.h"
#include "tests/unit/treeprint.h"

// Trees live until the end of the request by design (the end of the process
// releases them), so the leak checker would report every node.
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }

namespace {

class TreeTest : public ::testing::Test, protected TestGlobals {
 protected:
  Position at(uint16_t line, uint16_t column, const char* file = "a.brx") {
    return Position{line, column, file};
  }
  Token* name(const char* text) { return mTKName(G, at(1, 1), MakeIdent(G, text)); }
  Token* assign(Token* target, Token* value) { return mTKExprAssign(G, at(1, 1), target, value); }
  Token* bin(Token* l, Token* r) { return mTKExprBin(G, at(1, 1), l, opPlus, r); }
  std::string print(const Token* t) { return PrintNode(G, t); }
};

// ---------------------------------------------------------------- definition table

TEST_F(TreeTest, DefinitionTableGrowsKeepsEntriesRedefinesAndDropsAFile) {
  const Ident a = MakeIdent(G, "alpha_def");
  Token* da = mTKDefine(G, TKdef, at(1, 2), a, nullptr);
  EXPECT_EQ(LookupDefinition(G, a), da);
  // a name far beyond the table grows it; old slots survive
  const Ident far = a + 5000;
  Token* df = mTKDefine(G, TKdefenv, at(2, 2), far, nullptr);
  EXPECT_EQ(LookupDefinition(G, a), da);
  EXPECT_EQ(LookupDefinition(G, far), df);
  EXPECT_EQ(LookupDefinition(G, a + 1), nullptr);
  EXPECT_EQ(LookupDefinition(G, far * 10), nullptr);
  // a redefinition remembers the previous one
  const Ident n = MakeIdent(G, "tagname");
  Token* first = mTKDefine(G, TKdef, at(1, 2), n, nullptr);
  Token* second = mTKDefine(G, TKdefenv, at(5, 2), n, nullptr);
  EXPECT_EQ(second->prevDef, first);
  EXPECT_EQ(first->prevDef, nullptr);
  EXPECT_EQ(LookupDefinition(G, n), second);
  // executing the first definition makes it current again
  ActivateDefinition(G, first);
  EXPECT_EQ(LookupDefinition(G, n), first);
  // activating a definition that was never entered grows the table
  Token* def = mTKSimple(G, TKdef, at(1, 1));
  def->name = MakeIdent(G, "activated_only");
  ActivateDefinition(G, def);
  EXPECT_EQ(LookupDefinition(G, def->name), def);
  const Ident shared = MakeIdent(G, "shared"), onlyB = MakeIdent(G, "onlyb");
  // the file name arrives as another copy of the same text
  char otherCopy[] = "b.brx";
  Token* inA = mTKDefine(G, TKdef, at(1, 2, "a.brx"), shared, nullptr);
  mTKDefine(G, TKdef, at(3, 2, "b.brx"), shared, nullptr);
  mTKDefine(G, TKdef, at(4, 2, "b.brx"), shared, nullptr);
  mTKDefine(G, TKdefenv, at(5, 2, "b.brx"), onlyB, nullptr);
  DropDefinitionsOfFile(G, otherCopy);
  EXPECT_EQ(LookupDefinition(G, shared), inA);
  EXPECT_EQ(LookupDefinition(G, onlyB), nullptr);
}

// ---------------------------------------------------------------- expression pool

TEST_F(TreeTest, ExpressionPoolReusesFreedNodes) {
  Token* e = mTKExprBin(G, at(1, 1), name("a"), opPlus, name("b"));
  FreeExpr(G, e);
  Token* again = mTKExprUn(G, at(2, 3), opNeg, name("c"));
  EXPECT_EQ(again, e);
  // a reused node carries nothing of its earlier life
  EXPECT_EQ(again->right, nullptr);
  EXPECT_EQ(again->next, nullptr);
  EXPECT_EQ(again->kind, TKexprun);
  EXPECT_EQ(again->position.line, 2);
}

// ---------------------------------------------------------------- large trees

// Past its first chunks a tree's chunks come out of larger regions: each is
// still charged as a chunk, no two nodes share bytes, and the regions go
// with the trees that were taken.
TEST_F(TreeTest, LargeTreesChargeEveryChunkAndKeepTheirNodes) {
  constexpr int kPerChunk = 54;   // text nodes charged 1200 bytes each, in 64 KB
  constexpr int kNodes = 100 * kPerChunk;
  auto textOf = [](int tree, int i) {
    char head[16];
    std::snprintf(head, sizeof head, "%02d:%06d", tree, i);
    return std::string(head) + std::string(1000, 'x');   // 1009 bytes and a NUL
  };
  auto grow = [&](int tree) {
    std::vector<Token*> nodes;
    [[maybe_unused]] const int64_t before = G->serverInterface->X_MemLeft;
    for (int i = 0; i < kNodes; i++) {
      const std::string s = textOf(tree, i);
      nodes.push_back(mTKText(G, s.data(), static_cast<int32_t>(s.size())));
    }
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(before - G->serverInterface->X_MemLeft, int64_t{100} * 65536);
#endif
    return nodes;
  };
  auto intact = [&](const std::vector<Token*>& nodes, int tree) {
    for (int i = 0; i < kNodes; i++)
      if (nodes[i]->text != textOf(tree, i)) return false;
    return true;
  };
  ASSERT_EQ(G->token->chunkLeft, 0u);
  const std::vector<Token*> first = grow(1);
  EXPECT_TRUE(intact(first, 1));
  size_t left = 0;
  TreeStore taken = TakeTrees(G, &left);
  const std::vector<Token*> second = grow(2);
  FreeTrees(G, &taken);
  EXPECT_TRUE(intact(second, 2));
}

// ---------------------------------------------------------------- side effects

TEST_F(TreeTest, SideEffectPassOnDeepExpressions) {
  // left-deep and right-deep chains far deeper than the parser allows; the
  // pass keeps its own stack
  const int depth = 200000;
  Token* left = name("a");
  for (int i = 0; i < depth; i++) left = bin(left, name("b"));
  Token* right = assign(name("y"), name("z"));
  for (int i = 0; i < depth; i++) right = bin(name("b"), right);
  Token* both = bin(left, right);
  FixSideEffects(G, both);
  // the right chain assigns: every left operand along it is a copied name
  int copied = 0;
  for (const Token* t = right; t->kind == TKexprbin; t = t->right) {
    if (t->left->kind == TKexprcopy) copied++;
  }
  EXPECT_EQ(copied, depth);
  EXPECT_EQ(both->left->kind, TKexprcopy);
  // deep unary nesting
  Token* un = assign(name("y"), name("z"));
  for (int i = 0; i < depth; i++) un = mTKExprUn(G, at(1, 1), opNeg, un);
  EXPECT_EQ(print(FixSideEffects(G, bin(name("q"), mTKExprUn(G, at(1, 1), opNot, name("w"))))),
            "(+ q (! w))");
  Token* wrapped = FixSideEffects(G, bin(name("q"), un));
  EXPECT_EQ(wrapped->left->kind, TKexprcopy);
}

}  // namespace
