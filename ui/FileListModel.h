#pragma once
// FileListModel: the rows behind the main window's list (lbFiles), kept in display order: German
// alphabetical order without regard to letter case (Ä with A, ß with ss, numbers by their value),
// and two paths that differ only in case next to each other, the upper-case form first. Each row
// carries its collation key, computed once when the row arrives.
//
// Additions are collected and merged in one step, so that a scan adding tens of thousands of paths
// costs one sort instead of one insertion each. Every member that reads or removes rows merges
// first; the view sees the additions once control returns to the event loop, or as soon as any
// such member is called. Selections and the current row survive merges and removals.

#include <QAbstractListModel>
#include <QCollator>
#include <QString>
#include <QStringList>
#include <vector>

class FileListModel : public QAbstractListModel {
    Q_OBJECT

public:
    explicit FileListModel(QObject* parent = nullptr);

    /// The display order, for a few paths (the rows use keys computed once).
    static bool PathLess(const QString& a, const QString& b);

    /// Adds one path at its sorted place.
    void Append(const QString& sPath);
    /// Adds many paths at their sorted places.
    void AppendMany(const QStringList& paths);
    /// Removes every row.
    void Clear();
    /// Removes the given rows (display positions, in any order; duplicates and rows out of range
    /// are ignored).
    void RemoveRows(std::vector<int> rows);

    /// The number of rows, additions included.
    int Count();
    /// The path at a display position (0-based), additions included.
    QString At(int row);
    /// Every path in display order, additions included.
    QStringList Paths();

    /// Merges the collected additions into the rows now.
    void Flush();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    struct Row {
        QString sPath;
        QCollatorSortKey key;
    };
    static bool RowLess(const Row& a, const Row& b);

    void ScheduleFlush();
    /// Replaces the rows by newRows, where oldToNew maps each old row to its new row or to -1 when
    /// it is gone; persistent indexes (the view's selection among them) follow.
    void ReplaceRows(std::vector<Row> newRows, const std::vector<int>& oldToNew);

    QCollator collator_;
    std::vector<Row> rows_;
    std::vector<QString> pending_;
    bool flushScheduled_ = false;
};
