#pragma once
// RestoreTreeModel: the files of a restore plan under their folders, each with a check box; a
// folder's box is checked, unchecked or partly checked by what lies below it. Built in one pass
// (a hash of folders, no searching), and every folder keeps the count of its files and of those
// checked, so a click on a folder of 100,000 files and the boxes drawn stay cheap.

#include <QAbstractItemModel>
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

#include "app/Restore.h"

class RestoreTreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    enum Column { ColName, ColSize, ColMoment, ColumnCount };

    explicit RestoreTreeModel(QObject* parent = nullptr);
    ~RestoreTreeModel() override;

    /// Shows files (any order), every one checked. moments: the text of each archive's moment, by
    /// the index a Version names.
    void SetFiles(std::vector<Restore::PlannedFile> files, std::vector<QString> moments);
    void Clear();

    /// The checked files, in the order given to SetFiles.
    std::vector<Restore::PlannedFile> CheckedFiles() const;
    int64_t CheckedCount() const;
    uint64_t CheckedBytes() const;
    int64_t FileCount() const { return static_cast<int64_t>(files_.size()); }

    /// The row of a file or folder ("/home/anna"), invalid when it is not shown.
    QModelIndex IndexOf(const QByteArray& path) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

Q_SIGNALS:
    /// A box was checked or unchecked.
    void CheckedChanged();

private:
    struct Node {
        QByteArray name;  // one component of the path, as bytes
        int parent = -1;
        int row = 0;
        int file = -1;  // index into files_; -1 for a folder
        std::vector<int> children;
        int64_t files = 0;  // files at or below
        int64_t checked = 0;
        uint64_t checkedBytes = 0;
    };

    int FolderNode(const QByteArray& folderPath, QHash<QByteArray, int>& folders);
    /// Checks or unchecks everything at or below node; tells the view about the folders' rows.
    void SetSubtree(int node, bool bChecked, int64_t& lDelta, int64_t& lBytesDelta);
    Qt::CheckState StateOf(const Node& node) const;
    int NodeOf(const QModelIndex& index) const;

    std::vector<Node> nodes_;  // [0]: the root "/", never shown
    std::vector<Restore::PlannedFile> files_;
    std::vector<QString> moments_;
};
