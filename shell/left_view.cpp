#include "left_view.h"

#include "tarvelin_doc.h"
#include "tarvelin_view.h"

#include <QFileIconProvider>
#include <QHeaderView>
#include <QSet>

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

namespace {

// The names from below the root item down to the item.
QString NamePath(const QTreeWidgetItem* item)
{
    QStringList names;
    for (; item != nullptr && item->parent() != nullptr; item = item->parent()) {
        names.prepend(item->text(0));
    }
    return names.join(QLatin1Char('/'));
}

} // namespace

void CLeftView::RebuildTree(EntryRecord* rootRecord)
{
    const QSignalBlocker quiet(this);
    // The same tree shown again after an edit keeps the folders that were
    // open; they are known by their names, as the records of removed
    // folders may be gone already.
    QSet<QString> expanded;
    if (rootRecord == rootRecord_ && rootItem_ != nullptr) {
        std::vector<const QTreeWidgetItem*> walk{rootItem_};
        while (!walk.empty()) {
            const QTreeWidgetItem* item = walk.back();
            walk.pop_back();
            if (item->isExpanded()) {
                expanded.insert(NamePath(item));
            }
            for (int i = 0; i < item->childCount(); ++i) {
                walk.push_back(item->child(i));
            }
        }
    }
    const bool keepPlace = !expanded.isEmpty();
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
            if (expanded.contains(NamePath(childItem))) {
                childItem->setExpanded(true);
            }
        }
    }
    if (keepPlace) {
        rootItem_->setExpanded(expanded.contains(QString()));
        // The folder the list shows stays the current one.
        const EntryRecord* shown = doc_->ListView() != nullptr ? doc_->ListView()->CurrentFolder() : nullptr;
        if (const auto found = itemOf_.find(shown); found != itemOf_.end()) {
            setCurrentItem(found->second);
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
