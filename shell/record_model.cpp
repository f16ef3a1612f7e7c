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
        return record.size == 0 ? std::string() : std::to_string(record.size);
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

    std::vector<std::pair<std::string, EntryRecord*>> keyed;
    keyed.reserve(rows_.size());
    for (EntryRecord* record : rows_) {
        keyed.emplace_back(CellText(*record, column), record);
    }
    // std::string compares its characters as unsigned char.
    std::stable_sort(keyed.begin(), keyed.end(), [ascending](const auto& left, const auto& right) {
        const int order = std::string_view(left.first).compare(right.first);
        return ascending ? order < 0 : order > 0;
    });
    std::unordered_map<const EntryRecord*, int> rowOf;
    rowOf.reserve(keyed.size());
    for (std::size_t row = 0; row < keyed.size(); ++row) {
        rows_[row] = keyed[row].second;
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
