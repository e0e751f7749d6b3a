#include "ui/FileListModel.h"

#include <QLocale>

#include "app/NativePath.h"

#include <QMetaObject>
#include <algorithm>

namespace {
// Up to this many separate insertions or removals are announced one by one; beyond it one layout
// change is cheaper than moving the tail of a long list again and again.
constexpr size_t kMaxSeparateChanges = 16;

QCollator DisplayCollator() {
    QCollator collator{QLocale(QLocale::German, QLocale::Germany)};
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    return collator;
}

// For paths the collator finds equal: case variants together ("Maße" may equal "masse"), the
// upper-case form first.
bool TieLess(const QString& a, const QString& b) {
    const int c = QString::compare(a, b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a < b;
}

}  // namespace

FileListModel::FileListModel(QObject* parent)
    : QAbstractListModel(parent), collator_(DisplayCollator()) {}

bool FileListModel::PathLess(const QString& a, const QString& b) {
    static const QCollator collator = DisplayCollator();
    const int c = collator.compare(a, b);
    return c != 0 ? c < 0 : TieLess(a, b);
}

bool FileListModel::RowLess(const Row& a, const Row& b) {
    const int c = a.key.compare(b.key);
    return c != 0 ? c < 0 : TieLess(a.sPath, b.sPath);
}

void FileListModel::Append(const QString& sPath) {
    pending_.push_back(sPath);
    ScheduleFlush();
}

void FileListModel::AppendMany(const QStringList& paths) {
    if (paths.isEmpty()) {
        return;
    }
    pending_.insert(pending_.end(), paths.begin(), paths.end());
    ScheduleFlush();
}

void FileListModel::Clear() {
    beginResetModel();
    rows_.clear();
    pending_.clear();
    endResetModel();
}

int FileListModel::Count() {
    Flush();
    return static_cast<int>(rows_.size());
}

QString FileListModel::At(int row) {
    Flush();
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) {
        return QString();
    }
    return rows_[static_cast<size_t>(row)].sPath;
}

QStringList FileListModel::Paths() {
    Flush();
    QStringList paths;
    paths.reserve(static_cast<qsizetype>(rows_.size()));
    for (const Row& row : rows_) {
        paths.append(row.sPath);
    }
    return paths;
}

void FileListModel::ScheduleFlush() {
    if (flushScheduled_) {
        return;
    }
    flushScheduled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            flushScheduled_ = false;
            Flush();
        },
        Qt::QueuedConnection);
}

void FileListModel::Flush() {
    if (pending_.empty()) {
        return;
    }
    std::vector<Row> added;
    added.reserve(pending_.size());
    for (QString& sPath : pending_) {
        QCollatorSortKey key = collator_.sortKey(sPath);
        added.push_back(Row{std::move(sPath), std::move(key)});
    }
    pending_.clear();
    std::stable_sort(added.begin(), added.end(), RowLess);

    const size_t n = rows_.size();
    const size_t k = added.size();
    if (n == 0 || !RowLess(added.front(), rows_.back())) {
        beginInsertRows(QModelIndex(), static_cast<int>(n), static_cast<int>(n + k - 1));
        rows_.insert(rows_.end(), std::make_move_iterator(added.begin()),
                     std::make_move_iterator(added.end()));
        endInsertRows();
        return;
    }

    // Where each added path goes among the present rows; equal paths go after present ones.
    std::vector<size_t> positions(k);
    size_t gaps = 0;
    for (size_t j = 0; j < k; ++j) {
        positions[j] = static_cast<size_t>(
            std::upper_bound(rows_.begin(), rows_.end(), added[j], RowLess) - rows_.begin());
        if (j == 0 || positions[j] != positions[j - 1]) {
            ++gaps;
        }
    }

    if (gaps <= kMaxSeparateChanges) {
        // From the last gap backwards, so that the earlier positions stay valid.
        size_t end = k;
        while (end > 0) {
            size_t begin = end - 1;
            while (begin > 0 && positions[begin - 1] == positions[end - 1]) {
                --begin;
            }
            const int at = static_cast<int>(positions[begin]);
            beginInsertRows(QModelIndex(), at, at + static_cast<int>(end - begin) - 1);
            rows_.insert(
                rows_.begin() + static_cast<std::ptrdiff_t>(positions[begin]),
                std::make_move_iterator(added.begin() + static_cast<std::ptrdiff_t>(begin)),
                std::make_move_iterator(added.begin() + static_cast<std::ptrdiff_t>(end)));
            endInsertRows();
            end = begin;
        }
        return;
    }

    std::vector<Row> merged;
    merged.reserve(n + k);
    std::vector<int> oldToNew(n);
    size_t i = 0;
    size_t j = 0;
    while (i < n || j < k) {
        if (j == k || (i < n && positions[j] > i)) {
            oldToNew[i] = static_cast<int>(merged.size());
            merged.push_back(std::move(rows_[i]));
            ++i;
        } else {
            merged.push_back(std::move(added[j]));
            ++j;
        }
    }
    ReplaceRows(std::move(merged), oldToNew);
}

void FileListModel::RemoveRows(std::vector<int> rows) {
    Flush();
    const int n = static_cast<int>(rows_.size());
    std::erase_if(rows, [n](int row) { return row < 0 || row >= n; });
    if (rows.empty()) {
        return;
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());

    size_t blocks = 1;
    for (size_t b = 1; b < rows.size(); ++b) {
        if (rows[b] != rows[b - 1] + 1) {
            ++blocks;
        }
    }

    if (blocks <= kMaxSeparateChanges) {
        size_t end = rows.size();
        while (end > 0) {
            size_t begin = end - 1;
            while (begin > 0 && rows[begin - 1] + 1 == rows[begin]) {
                --begin;
            }
            beginRemoveRows(QModelIndex(), rows[begin], rows[end - 1]);
            rows_.erase(rows_.begin() + rows[begin], rows_.begin() + rows[end - 1] + 1);
            endRemoveRows();
            end = begin;
        }
        return;
    }

    std::vector<Row> kept;
    kept.reserve(rows_.size() - rows.size());
    std::vector<int> oldToNew(rows_.size(), -1);
    size_t r = 0;
    for (int old = 0; old < n; ++old) {
        if (r < rows.size() && rows[r] == old) {
            ++r;
            continue;
        }
        oldToNew[static_cast<size_t>(old)] = static_cast<int>(kept.size());
        kept.push_back(std::move(rows_[static_cast<size_t>(old)]));
    }
    ReplaceRows(std::move(kept), oldToNew);
}

void FileListModel::ReplaceRows(std::vector<Row> newRows, const std::vector<int>& oldToNew) {
    Q_EMIT layoutAboutToBeChanged();
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& index : from) {
        const int newRow = index.row() >= 0 && static_cast<size_t>(index.row()) < oldToNew.size()
                               ? oldToNew[static_cast<size_t>(index.row())]
                               : -1;
        to.append(newRow >= 0 ? createIndex(newRow, 0) : QModelIndex());
    }
    rows_ = std::move(newRows);
    changePersistentIndexList(from, to);
    Q_EMIT layoutChanged();
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) {
        return QVariant();
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        return DisplayPath(rows_[static_cast<size_t>(index.row())].sPath);
    }
    return QVariant();
}
