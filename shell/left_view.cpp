#include "left_view.h"

#include "tarvelin_doc.h"
#include "tarvelin_view.h"

#include <QFileIconProvider>
#include <QHeaderView>

#include <utility>
#include <vector>

namespace tarvelin::shell {

namespace {
// Item data role holding the record an item stands for.
constexpr int kRecordRole = Qt::UserRole + 1;
} // namespace

CLeftView::CLeftView(CTarvelinDoc* doc, QWidget* parent) : QTreeWidget(parent), doc_(doc)
{
    setObjectName(QStringLiteral("LeftView"));
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    QFileIconProvider icons;
    closedFolder_ = icons.icon(QFileIconProvider::Folder);
    openFolder_ = closedFolder_;
    rootItem_ = new QTreeWidgetItem(this, QStringList{QStringLiteral("Tarvelin")});
    rootItem_->setExpanded(true);
    doc_->SetTreeView(this);
    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { OnCurrentItemChanged(current); });
}

EntryRecord* CLeftView::RecordOf(const QTreeWidgetItem* item) const
{
    if (item == nullptr) {
        return nullptr;
    }
    return static_cast<EntryRecord*>(item->data(0, kRecordRole).value<void*>());
}

void CLeftView::RebuildTree(EntryRecord* rootRecord)
{
    const QSignalBlocker quiet(this);
    rootRecord_ = rootRecord;
    itemOf_.clear();
    clear();
    rootItem_ = new QTreeWidgetItem(this, QStringList{QStringLiteral("Tarvelin")});
    rootItem_->setData(0, kRecordRole, QVariant::fromValue(static_cast<void*>(rootRecord)));
    if (rootRecord == nullptr) {
        return;
    }
    itemOf_.emplace(rootRecord, rootItem_);
    // Depth first, without recursion: an image's folders may nest deeply.
    std::vector<std::pair<const EntryRecord*, QTreeWidgetItem*>> pending{{rootRecord, rootItem_}};
    while (!pending.empty()) {
        const auto [record, item] = pending.back();
        pending.pop_back();
        for (const auto& own : record->children) {
            EntryRecord* child = own.get();
            if (child->isFolder != 1) {
                continue;
            }
            auto* childItem = new QTreeWidgetItem(QStringList{QString::fromStdString(child->name)});
            childItem->setIcon(0, closedFolder_);
            childItem->setData(0, kRecordRole, QVariant::fromValue(static_cast<void*>(child)));
            item->addChild(childItem);
            itemOf_.emplace(child, childItem);
            pending.emplace_back(child, childItem);
        }
    }
}

bool CLeftView::SelectRecord(const EntryRecord* record)
{
    const auto found = itemOf_.find(record);
    if (found == itemOf_.end()) {
        return false;
    }
    QTreeWidgetItem* item = found->second;
    setCurrentItem(item);
    item->setExpanded(!item->isExpanded());
    return true;
}

bool CLeftView::RevealRecord(const EntryRecord* record)
{
    const auto found = itemOf_.find(record);
    if (found == itemOf_.end()) {
        return false;
    }
    for (QTreeWidgetItem* above = found->second->parent(); above != nullptr; above = above->parent()) {
        above->setExpanded(true);
    }
    setCurrentItem(found->second);
    scrollToItem(found->second);
    return true;
}

void CLeftView::OnCurrentItemChanged(QTreeWidgetItem* current)
{
    EntryRecord* record = RecordOf(current);
    if (record != nullptr && doc_->ListView() != nullptr) {
        doc_->ListView()->ShowFolder(record);
    }
}

} // namespace tarvelin::shell
