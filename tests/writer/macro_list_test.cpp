// CMacroList, the source tree of a new image: order of children, parents,
// record copies, deletion, and trees too deep or too wide for recursion.

#include "build_test_support.h"
#include "writer/macro_list.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelin {
namespace {

using test::FileNode;
using test::FolderNode;
using test::Held;
using test::InfoOf;

TEST(MacroList, ChildrenKeepTheOrderTheyWereAddedIn)
{
    Held<IMacroList> list(NEW_MACROLIST());
    MacroNode* root = list->GetRoot();
    MacroNode* first = list->AddChild(root, FileNode("first", 1));
    MacroNode* second = list->AddChild(root, FolderNode("second"));
    MacroNode* third = list->AddChild(root, FileNode("third", 3));
    EXPECT_EQ(list->GetFirstChild(root), first);
    EXPECT_EQ(list->GetNextSibling(first), second);
    EXPECT_EQ(list->GetNextSibling(second), third);
    EXPECT_EQ(list->GetNextSibling(third), nullptr);
    EXPECT_EQ(list->GetNodeCount(), 3u);
    EXPECT_EQ(list->GetFirstChild(nullptr), nullptr);
    EXPECT_EQ(list->GetNextSibling(nullptr), nullptr);
}

TEST(MacroList, FindParentAnswersForEveryNodeOfThisTreeOnly)
{
    Held<IMacroList> list(NEW_MACROLIST());
    Held<IMacroList> other(NEW_MACROLIST());
    MacroNode* root = list->GetRoot();
    MacroNode* top = list->AddChild(root, FolderNode("top"));
    MacroNode* inner = list->AddChild(top, FolderNode("inner"));
    MacroNode* file = list->AddChild(inner, FileNode("file", 1));
    MacroNode* stranger = other->AddChild(other->GetRoot(), FileNode("elsewhere", 1));

    EXPECT_EQ(list->FindParent(top), root);
    EXPECT_EQ(list->FindParent(inner), top);
    EXPECT_EQ(list->FindParent(file), inner);
    EXPECT_EQ(list->FindParent(root), nullptr);
    EXPECT_EQ(list->FindParent(nullptr), nullptr);
    EXPECT_EQ(list->FindParent(stranger), nullptr);
    EXPECT_EQ(list->FindParent(other->GetRoot()), nullptr);
    // Nor may a node of another tree be given children here.
    EXPECT_EQ(list->AddChild(stranger, FileNode("x", 1)), nullptr);
}

TEST(MacroList, GetInfoReturnsWhatSetInfoStoredEveryFieldIncluded)
{
    Held<IMacroList> list(NEW_MACROLIST());
    MacroNode* node = list->AddChild(list->GetRoot(), FileNode("a", 1));
    SourceNode record;
    record.isDirectory = true;
    record.name = std::string(300, 'n'); // longer than any fixed-size field would hold
    record.fileExtent = 11;
    record.isoDirExtent = 12;
    record.jolietDirExtent = 13;
    record.fileSize = 0xFFFFFFFFull;
    record.isoDirSize = 4096;
    record.jolietDirSize = 6144;
    record.nameLength = 300;
    record.creationTime = 0x0123456789ABCDEFull;
    record.diskPath = "/" + std::string(1000, 'p');
    record.directoryNumber = 77;
    list->SetInfo(node, record);
    EXPECT_EQ(InfoOf(list.get(), node), record);

    // Null nodes are ignored both ways.
    SourceNode untouched = FileNode("keep", 5);
    list->GetInfo(nullptr, untouched);
    EXPECT_EQ(untouched, FileNode("keep", 5));
    list->SetInfo(nullptr, record);
}

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

    list->DeleteNode(root, b); // with b1, b2 and b2x
    EXPECT_EQ(list->GetNodeCount(), 2u);
    EXPECT_EQ(list->GetNextSibling(a), c);

    // Removing the last child keeps appending at the end working.
    list->DeleteNode(root, c);
    MacroNode* d = list->AddChild(root, FileNode("d", 1));
    EXPECT_EQ(list->GetNextSibling(a), d);
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
