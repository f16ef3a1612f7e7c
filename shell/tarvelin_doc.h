#pragma once

// The document: holds no data of its own, only the two panes, through which
// they find each other. The opened image and all records belong to the list.

namespace tarvelin::shell {

class CTarvelinView;
class CLeftView;

class CTarvelinDoc {
public:
    CTarvelinView* ListView() const { return listView_; }
    CLeftView* TreeView() const { return treeView_; }
    void SetListView(CTarvelinView* view) { listView_ = view; }
    void SetTreeView(CLeftView* view) { treeView_ = view; }

private:
    CTarvelinView* listView_ = nullptr;
    CLeftView* treeView_ = nullptr;
};

} // namespace tarvelin::shell
