#pragma once

// The folder tree, the left pane: a root item "Tarvelin" and, below it, the
// folders of the record tree the list works on. Selecting a folder lists
// it in the right pane.

#include "entry_record.h"

#include <QTreeWidget>

#include <unordered_map>

namespace tarvelin::shell {

class CTarvelinDoc;

class CLeftView final : public QTreeWidget {
    Q_OBJECT
public:
    CLeftView(CTarvelinDoc* doc, QWidget* parent = nullptr);

    // Shows the folders of the record tree below a fresh "Tarvelin" root.
    void RebuildTree(EntryRecord* rootRecord);
    // Selects the item of a folder record and toggles its expansion; false
    // when the tree shows no such folder.
    bool SelectRecord(const EntryRecord* record);
    // Makes the item of a folder record current with the folders above it
    // open, so it can be seen; false when the tree shows no such folder.
    bool RevealRecord(const EntryRecord* record);

    QTreeWidgetItem* RootItem() const { return rootItem_; }
    EntryRecord* RecordOf(const QTreeWidgetItem* item) const;

private:
    void OnCurrentItemChanged(QTreeWidgetItem* current);

    CTarvelinDoc* doc_;
    QTreeWidgetItem* rootItem_ = nullptr;
    EntryRecord* rootRecord_ = nullptr;
    std::unordered_map<const EntryRecord*, QTreeWidgetItem*> itemOf_;
    QIcon closedFolder_;
    QIcon openFolder_;
};

} // namespace tarvelin::shell
