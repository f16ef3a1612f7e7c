#pragma once

// The rows of the file list: the children of one record, filled in one
// batch (one model reset per folder shown), three columns "FileName",
// "Size" and "Type". Each row keeps its record, also across sorting.

#include "entry_record.h"

#include <QAbstractTableModel>
#include <QIcon>

#include <functional>
#include <string>
#include <vector>

namespace tarvelin::shell {

class RecordListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { FileNameColumn = 0, SizeColumn = 1, TypeColumn = 2, ColumnCount = 3 };
    using IconLookup = std::function<QIcon(const EntryRecord&)>;
    // What rows dragged out of the list carry; null when nothing.
    using DragProvider = std::function<QMimeData*(const std::vector<EntryRecord*>&)>;

    explicit RecordListModel(IconLookup iconLookup, QObject* parent = nullptr);
    void SetDragProvider(DragProvider provider) { dragProvider_ = std::move(provider); }

    // Lists the children of `folder` in the order of the last sort (last
    // child first when none); null lists nothing.
    void ShowChildren(const EntryRecord* folder);
    void Clear();
    // Orders the rows by a column, folders before files: names and types by
    // their text compared byte by byte as unsigned characters, sizes by the
    // byte count. The order holds for the folders listed later too.
    void SortRows(int column, bool ascending);

    EntryRecord* RecordAt(int row) const;
    // The text a cell shows.
    static std::string CellText(const EntryRecord& record, int column);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;

private:
    // Puts rows_ in the order of sortColumn_ and sortAscending_.
    void OrderRows();

    IconLookup iconLookup_;
    DragProvider dragProvider_;
    std::vector<EntryRecord*> rows_;
    int sortColumn_ = -1;
    bool sortAscending_ = true;
};

} // namespace tarvelin::shell
