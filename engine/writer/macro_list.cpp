// The source tree of a new image. Every node knows its parent, its last
// child and the list it belongs to, so appending a child and finding a
// parent take constant time however large the tree grows: layout asks for
// the parent of every directory, and a tree of a hundred thousand entries
// must not turn that into a search.

#include "writer/macro_list.h"

#include <new>
#include <vector>

namespace tarvelin {

struct MacroNode {
    SourceNode record;
    MacroNode* nextSibling = nullptr;
    MacroNode* firstChild = nullptr;
    MacroNode* lastChild = nullptr;
    MacroNode* parent = nullptr;
    const IMacroList* owner = nullptr;
};

namespace {

class CMacroList final : public IMacroList {
public:
    ~CMacroList() override { FreeChildren(&root_); }

    bool Init() override
    {
        FreeChildren(&root_);
        root_.record = SourceNode{};
        root_.record.isDirectory = true;
        root_.record.directoryNumber = 1;
        root_.owner = this;
        nodeCount_ = 0;
        return true;
    }

    bool Reserved() override { return true; }

    void DeleteNode(MacroNode* parent, MacroNode* node) override
    {
        if (!Owns(parent) || node == nullptr || node->parent != parent || !Owns(node)) {
            return;
        }
        MacroNode* previous = nullptr;
        for (MacroNode* child = parent->firstChild; child != nullptr; child = child->nextSibling) {
            if (child == node) {
                break;
            }
            previous = child;
        }
        (previous != nullptr ? previous->nextSibling : parent->firstChild) = node->nextSibling;
        if (parent->lastChild == node) {
            parent->lastChild = previous;
        }
        FreeChildren(node);
        delete node;
        --nodeCount_;
    }

    void GetInfo(MacroNode* node, SourceNode& record) override
    {
        if (node != nullptr) {
            record = node->record;
        }
    }

    void SetInfo(MacroNode* node, const SourceNode& record) override
    {
        if (node != nullptr) {
            node->record = record;
        }
    }

    MacroNode* AddChild(MacroNode* parent, const SourceNode& record) override
    {
        if (!Owns(parent)) {
            return nullptr;
        }
        auto* node = new (std::nothrow) MacroNode;
        if (node == nullptr) {
            return nullptr;
        }
        node->record = record;
        node->parent = parent;
        node->owner = this;
        (parent->lastChild != nullptr ? parent->lastChild->nextSibling : parent->firstChild) = node;
        parent->lastChild = node;
        ++nodeCount_;
        return node;
    }

    MacroNode* GetNextSibling(MacroNode* node) override { return node != nullptr ? node->nextSibling : nullptr; }
    MacroNode* GetFirstChild(MacroNode* node) override { return node != nullptr ? node->firstChild : nullptr; }
    MacroNode* FindParent(MacroNode* node) override { return Owns(node) ? node->parent : nullptr; }
    MacroNode* GetRoot() override { return &root_; }
    std::uint64_t GetNodeCount() override { return nodeCount_; }
    NameRules GetNameRules() override { return rules_; }
    void SetNameRules(const NameRules& rules) override { rules_ = rules; }

private:
    NameRules rules_;
    bool Owns(const MacroNode* node) const { return node != nullptr && node->owner == this; }

    // Frees everything below node without recursion: a deep tree must not
    // exhaust the stack.
    void FreeChildren(MacroNode* node)
    {
        std::vector<MacroNode*> pending;
        for (MacroNode* child = node->firstChild; child != nullptr; child = child->nextSibling) {
            pending.push_back(child);
        }
        node->firstChild = nullptr;
        node->lastChild = nullptr;
        while (!pending.empty()) {
            MacroNode* current = pending.back();
            pending.pop_back();
            for (MacroNode* child = current->firstChild; child != nullptr; child = child->nextSibling) {
                pending.push_back(child);
            }
            delete current;
            --nodeCount_;
        }
    }

    MacroNode root_;
    std::uint64_t nodeCount_ = 0;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CMacroList, tarvelin::IMacroList, NEW_MACROLIST, NEW_00_MACROLIST)
