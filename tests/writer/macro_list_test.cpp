// CMacroList, the source tree of a new image: deletion needs the right
// parent, nodes of another tree are refused, and trees too deep or too wide
// for recursion are walked and freed.

#include "build_test_support.h"
#include "writer/macro_list.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelin {
namespace {

using test::FileNode;
using test::FolderNode;
using test::Held;

TEST(MacroList, DeleteNodeNeedsTheRightParentAndFreesTheSubtree)
{
    Held<IMacroList> list(NEW_MACROLIST());
    MacroNode* root = list->GetRoot();
    MacroNode* a = list->AddChild(root, FolderNode("a"));
    MacroNode* b = list->AddChild(root, FolderNode("b"));
    MacroNode* c = list->AddChild(root, FileNode("c", 1));
    list->AddChild(b, FileNode("b1", 1));
    list->AddChild(list->AddChild(b, FolderNode("b2")), FileNode("b2x", 1));
    ASSERT_EQ(list->GetNodeCount(), 6u);

    list->DeleteNode(a, b); // not b's parent
    EXPECT_EQ(list->GetNodeCount(), 6u);
    EXPECT_EQ(list->GetNextSibling(a), b);
    // A node of another tree has no parent here and takes no children.
    Held<IMacroList> other(NEW_MACROLIST());
    MacroNode* stranger = other->AddChild(other->GetRoot(), FileNode("elsewhere", 1));
    EXPECT_EQ(list->FindParent(stranger), nullptr);
    EXPECT_EQ(list->AddChild(stranger, FileNode("x", 1)), nullptr);
    EXPECT_EQ(list->FindParent(root), nullptr);

    list->DeleteNode(root, b); // with b1, b2 and b2x
    EXPECT_EQ(list->GetNodeCount(), 2u);
    EXPECT_EQ(list->GetNextSibling(a), c);

    // Removing the last child keeps appending at the end working. A node
    // held past its deletion is never handed out again: it stays an empty
    // orphan that the list refuses.
    list->DeleteNode(root, c);
    MacroNode* d = list->AddChild(root, FileNode("d", 1));
    EXPECT_EQ(list->GetNextSibling(a), d);
    EXPECT_NE(d, c);
    EXPECT_EQ(list->FindParent(c), nullptr);
    EXPECT_EQ(list->AddChild(c, FileNode("y", 1)), nullptr);
    list->DeleteNode(root, a);
    EXPECT_EQ(list->GetFirstChild(root), d);
    EXPECT_EQ(list->GetNodeCount(), 1u);
}

TEST(MacroList, DeepAndWideTreesAreWalkedAndFreedWithoutRecursion)
{
    Held<IMacroList> list(NEW_MACROLIST());
    MacroNode* node = list->GetRoot();
    constexpr int kDepth = 50000;
    for (int i = 0; i < kDepth; ++i) {
        node = list->AddChild(node, FolderNode("d"));
        ASSERT_NE(node, nullptr);
    }
    int depth = 0;
    for (MacroNode* up = node; up != list->GetRoot(); up = list->FindParent(up)) {
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    // Deleting the top of the chain frees all of it (the sanitizer build
    // reports anything left or freed twice).
    list->DeleteNode(list->GetRoot(), list->GetFirstChild(list->GetRoot()));
    EXPECT_EQ(list->GetNodeCount(), 0u);
    for (int i = 0; i < kDepth; ++i) {
        node = list->AddChild(list->GetRoot(), FileNode("f", 1));
    }
    EXPECT_EQ(list->FindParent(node), list->GetRoot());
    // And a chain left for the destructor.
    for (int i = 0; i < kDepth; ++i) {
        node = list->AddChild(node, FolderNode("again"));
    }
}

} // namespace
} // namespace tarvelin
