#include "record_model.h"

#include <QMimeData>

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_map>

namespace tarvelin::shell {

RecordListModel::RecordListModel(IconLookup iconLookup, QObject* parent)
    : QAbstractTableModel(parent), iconLookup_(std::move(iconLookup))
{
}

void RecordListModel::ShowChildren(const EntryRecord* folder)
{
    beginResetModel();
    rows_.clear();
    if (folder != nullptr) {
        rows_.reserve(folder->children.size());
        for (auto it = folder->children.rbegin(); it != folder->children.rend(); ++it) {
            rows_.push_back(it->get());
        }
        if (sortColumn_ >= 0) {
            OrderRows();
        }
    }
    endResetModel();
}

void RecordListModel::Clear()
{
    ShowChildren(nullptr);
}

std::string RecordListModel::CellText(const EntryRecord& record, int column)
{
    switch (column) {
    case FileNameColumn:
        return record.name;
    case SizeColumn:
        return record.size == 0 || record.isFolder == 1 ? std::string() : SizeText(record.size);
    case TypeColumn:
        return record.typeName;
    default:
        return {};
    }
}

void RecordListModel::SortRows(int column, bool ascending)
{
    if (column < 0 || column >= ColumnCount) {
        return;
    }
    layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<EntryRecord*> recordsBefore;
    recordsBefore.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) {
        recordsBefore.push_back(RecordAt(index.row()));
    }

    sortColumn_ = column;
    sortAscending_ = ascending;
    OrderRows();
    std::unordered_map<const EntryRecord*, int> rowOf;
    rowOf.reserve(rows_.size());
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        rowOf.emplace(rows_[row], static_cast<int>(row));
    }

    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        const auto found = rowOf.find(recordsBefore[static_cast<std::size_t>(i)]);
        after.push_back(found == rowOf.end() ? QModelIndex() : index(found->second, before[i].column()));
    }
    changePersistentIndexList(before, after);
    layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void RecordListModel::OrderRows()
{
    const int column = sortColumn_;
    const bool ascending = sortAscending_;
    std::vector<std::pair<std::string, EntryRecord*>> keyed;
    keyed.reserve(rows_.size());
    for (EntryRecord* record : rows_) {
        keyed.emplace_back(column == SizeColumn ? std::string() : CellText(*record, column), record);
    }
    // std::string compares its characters as unsigned char.
    std::stable_sort(keyed.begin(), keyed.end(), [column, ascending](const auto& left, const auto& right) {
        const bool leftFolder = left.second->isFolder == 1;
        if (leftFolder != (right.second->isFolder == 1)) {
            return leftFolder;
        }
        int order = 0;
        if (column == SizeColumn) {
            order = left.second->size < right.second->size ? -1 : (left.second->size > right.second->size ? 1 : 0);
        } else {
            order = std::string_view(left.first).compare(right.first);
        }
        return ascending ? order < 0 : order > 0;
    });
    for (std::size_t row = 0; row < keyed.size(); ++row) {
        rows_[row] = keyed[row].second;
    }
}

EntryRecord* RecordListModel::RecordAt(int row) const
{
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return nullptr;
    }
    return rows_[static_cast<std::size_t>(row)];
}

int RecordListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int RecordListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RecordListModel::data(const QModelIndex& index, int role) const
{
    const EntryRecord* record = RecordAt(index.row());
    if (record == nullptr) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return QString::fromStdString(CellText(*record, index.column()));
    }
    if (role == Qt::DecorationRole && index.column() == FileNameColumn && iconLookup_) {
        return iconLookup_(*record);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    }
    return {};
}

QVariant RecordListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
    case FileNameColumn:
        return QStringLiteral("FileName");
    case SizeColumn:
        return QStringLiteral("Size");
    case TypeColumn:
        return QStringLiteral("Type");
    default:
        return {};
    }
}

Qt::ItemFlags RecordListModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags itemFlags = QAbstractTableModel::flags(index);
    if (index.isValid()) {
        itemFlags |= Qt::ItemIsDragEnabled;
    }
    return itemFlags;
}

QStringList RecordListModel::mimeTypes() const
{
    return {QStringLiteral("text/uri-list")};
}

QMimeData* RecordListModel::mimeData(const QModelIndexList& indexes) const
{
    if (!dragProvider_) {
        return nullptr;
    }
    // One entry per row, in row order, whatever columns were selected.
    std::set<int> rows;
    for (const QModelIndex& index : indexes) {
        rows.insert(index.row());
    }
    std::vector<EntryRecord*> records;
    for (int row : rows) {
        if (EntryRecord* record = RecordAt(row); record != nullptr) {
            records.push_back(record);
        }
    }
    return records.empty() ? nullptr : dragProvider_(records);
}

Qt::DropActions RecordListModel::supportedDragActions() const
{
    return Qt::CopyAction;
}

} // namespace tarvelin::shell
