#include "ui/RestoreTreeModel.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QLocale>
#include <algorithm>

#include "app/NativePath.h"

RestoreTreeModel::RestoreTreeModel(QObject* parent) : QAbstractItemModel(parent) {
    nodes_.emplace_back();
}

RestoreTreeModel::~RestoreTreeModel() = default;

void RestoreTreeModel::Clear() {
    SetFiles({}, {});
}

int RestoreTreeModel::FolderNode(const QByteArray& folderPath, QHash<QByteArray, int>& folders) {
    if (folderPath.isEmpty() || folderPath == "/") {
        return 0;
    }
    if (const auto found = folders.constFind(folderPath); found != folders.cend()) {
        return *found;
    }
    const qsizetype slash = folderPath.lastIndexOf('/');
    const int parent = FolderNode(slash > 0 ? folderPath.left(slash) : QByteArray(), folders);
    Node node;
    node.name = folderPath.mid(slash + 1);
    node.parent = parent;
    const int id = static_cast<int>(nodes_.size());
    nodes_.push_back(std::move(node));
    nodes_[static_cast<size_t>(parent)].children.push_back(id);
    folders.insert(folderPath, id);
    return id;
}

void RestoreTreeModel::SetFiles(std::vector<Restore::PlannedFile> files,
                                std::vector<QString> moments) {
    beginResetModel();
    files_ = std::move(files);
    moments_ = std::move(moments);
    nodes_.clear();
    nodes_.emplace_back();
    nodes_.reserve(files_.size() + files_.size() / 4 + 1);
    QHash<QByteArray, int> folders;
    for (size_t i = 0; i < files_.size(); ++i) {
        const QByteArray& path = files_[i].path;
        const qsizetype slash = path.lastIndexOf('/');
        const int parent = FolderNode(slash > 0 ? path.left(slash) : QByteArray(), folders);
        Node node;
        node.name = path.mid(slash + 1);
        node.parent = parent;
        node.file = static_cast<int>(i);
        node.files = 1;
        node.checked = 1;
        node.checkedBytes = files_[i].version.lSize;
        nodes_.push_back(std::move(node));
        nodes_[static_cast<size_t>(parent)].children.push_back(static_cast<int>(nodes_.size() - 1));
    }
    // Children were created before their folders' totals are known: sum up from the leaves,
    // which always come after their folder.
    for (size_t i = nodes_.size(); i-- > 1;) {
        Node& parent = nodes_[static_cast<size_t>(nodes_[i].parent)];
        parent.files += nodes_[i].files;
        parent.checked += nodes_[i].checked;
        parent.checkedBytes += nodes_[i].checkedBytes;
    }
    // Folders first, then by name as bytes.
    for (Node& node : nodes_) {
        std::sort(node.children.begin(), node.children.end(), [this](int a, int b) {
            const Node& x = nodes_[static_cast<size_t>(a)];
            const Node& y = nodes_[static_cast<size_t>(b)];
            if ((x.file < 0) != (y.file < 0)) {
                return x.file < 0;
            }
            return x.name < y.name;
        });
        for (size_t row = 0; row < node.children.size(); ++row) {
            nodes_[static_cast<size_t>(node.children[row])].row = static_cast<int>(row);
        }
    }
    endResetModel();
}

std::vector<Restore::PlannedFile> RestoreTreeModel::CheckedFiles() const {
    std::vector<bool> checked(files_.size(), false);
    for (const Node& node : nodes_) {
        if (node.file >= 0 && node.checked != 0) {
            checked[static_cast<size_t>(node.file)] = true;
        }
    }
    std::vector<Restore::PlannedFile> result;
    result.reserve(static_cast<size_t>(nodes_[0].checked));
    for (size_t i = 0; i < files_.size(); ++i) {
        if (checked[i]) {
            result.push_back(files_[i]);
        }
    }
    return result;
}

int64_t RestoreTreeModel::CheckedCount() const {
    return nodes_[0].checked;
}

uint64_t RestoreTreeModel::CheckedBytes() const {
    return nodes_[0].checkedBytes;
}

QModelIndex RestoreTreeModel::IndexOf(const QByteArray& path) const {
    int node = 0;
    for (const QByteArray& part : path.split('/')) {
        if (part.isEmpty()) {
            continue;
        }
        const std::vector<int>& children = nodes_[static_cast<size_t>(node)].children;
        const auto found = std::find_if(children.begin(), children.end(), [&](int child) {
            return nodes_[static_cast<size_t>(child)].name == part;
        });
        if (found == children.end()) {
            return {};
        }
        node = *found;
    }
    return node == 0 ? QModelIndex()
                     : createIndex(nodes_[static_cast<size_t>(node)].row, ColName,
                                   static_cast<quintptr>(node));
}

int RestoreTreeModel::NodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<int>(index.internalId()) : 0;
}

QModelIndex RestoreTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= ColumnCount || parent.column() > 0) {
        return {};
    }
    const std::vector<int>& children = nodes_[static_cast<size_t>(NodeOf(parent))].children;
    if (static_cast<size_t>(row) >= children.size()) {
        return {};
    }
    return createIndex(row, column, static_cast<quintptr>(children[static_cast<size_t>(row)]));
}

QModelIndex RestoreTreeModel::parent(const QModelIndex& child) const {
    const int parent = child.isValid() ? nodes_[static_cast<size_t>(NodeOf(child))].parent : 0;
    if (parent <= 0) {
        return {};
    }
    return createIndex(nodes_[static_cast<size_t>(parent)].row, ColName,
                       static_cast<quintptr>(parent));
}

int RestoreTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) {
        return 0;
    }
    return static_cast<int>(nodes_[static_cast<size_t>(NodeOf(parent))].children.size());
}

int RestoreTreeModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

Qt::CheckState RestoreTreeModel::StateOf(const Node& node) const {
    if (node.checked == 0) {
        return Qt::Unchecked;
    }
    return node.checked == node.files ? Qt::Checked : Qt::PartiallyChecked;
}

QVariant RestoreTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    const Node& node = nodes_[static_cast<size_t>(NodeOf(index))];
    const Restore::PlannedFile* file =
        node.file >= 0 ? &files_[static_cast<size_t>(node.file)] : nullptr;
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case ColName:
                    return DisplayPath(PathFromNative(node.name));
                case ColSize:
                    return file != nullptr ? QLocale().formattedDataSize(
                                                 static_cast<qint64>(file->version.lSize), 1,
                                                 QLocale::DataSizeTraditionalFormat)
                                           : QVariant();
                case ColMoment: {
                    if (file == nullptr) {
                        return {};
                    }
                    const auto archive = static_cast<size_t>(file->version.iArchive);
                    return archive < moments_.size() ? moments_[archive] : QString();
                }
                default:
                    return {};
            }
        case Qt::CheckStateRole:
            return index.column() == ColName ? QVariant(StateOf(node)) : QVariant();
        case Qt::TextAlignmentRole:
            return index.column() == ColSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                             : QVariant();
        case Qt::ForegroundRole:
            return file != nullptr && file->bDeleted ? QVariant(QColor(Qt::gray)) : QVariant();
        case Qt::FontRole:
            if (file != nullptr && file->bDeleted) {
                QFont font;
                font.setItalic(true);
                return font;
            }
            return {};
        case Qt::ToolTipRole:
            return file != nullptr && file->bDeleted
                       ? QVariant(QStringLiteral("zu diesem Zeitpunkt schon gelöscht"))
                       : QVariant();
        default:
            return {};
    }
}

void RestoreTreeModel::SetSubtree(int id, bool bChecked, int64_t& lDelta, int64_t& lBytesDelta) {
    Node& node = nodes_[static_cast<size_t>(id)];
    if (node.file >= 0) {
        const int64_t lNow = bChecked ? 1 : 0;
        const uint64_t lSize = files_[static_cast<size_t>(node.file)].version.lSize;
        lDelta += lNow - node.checked;
        lBytesDelta += (lNow - node.checked) * static_cast<int64_t>(lSize);
        node.checked = lNow;
        node.checkedBytes = bChecked ? lSize : 0;
        return;
    }
    if (node.checked == (bChecked ? node.files : 0)) {
        return;  // already so all the way down
    }
    for (const int child : node.children) {
        SetSubtree(child, bChecked, lDelta, lBytesDelta);
    }
    Node& folder = nodes_[static_cast<size_t>(id)];
    folder.checked = bChecked ? folder.files : 0;
    folder.checkedBytes = 0;
    if (bChecked) {
        for (const int child : folder.children) {
            folder.checkedBytes += nodes_[static_cast<size_t>(child)].checkedBytes;
        }
    }
    if (!folder.children.empty()) {
        const QModelIndex parent = createIndex(folder.row, ColName, static_cast<quintptr>(id));
        Q_EMIT dataChanged(index(0, ColName, parent),
                           index(static_cast<int>(folder.children.size()) - 1, ColName, parent),
                           {Qt::CheckStateRole});
    }
}

bool RestoreTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != ColName) {
        return false;
    }
    const int id = NodeOf(index);
    const bool bChecked = value.toInt() != Qt::Unchecked;
    int64_t lDelta = 0;
    int64_t lBytesDelta = 0;
    SetSubtree(id, bChecked, lDelta, lBytesDelta);
    Q_EMIT dataChanged(index, index, {Qt::CheckStateRole});
    for (int up = nodes_[static_cast<size_t>(id)].parent; up >= 0;
         up = nodes_[static_cast<size_t>(up)].parent) {
        Node& folder = nodes_[static_cast<size_t>(up)];
        folder.checked += lDelta;
        folder.checkedBytes =
            static_cast<uint64_t>(static_cast<int64_t>(folder.checkedBytes) + lBytesDelta);
        if (up != 0) {
            const QModelIndex shown = createIndex(folder.row, ColName, static_cast<quintptr>(up));
            Q_EMIT dataChanged(shown, shown, {Qt::CheckStateRole});
        }
    }
    Q_EMIT CheckedChanged();
    return true;
}

Qt::ItemFlags RestoreTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == ColName) {
        flags |= Qt::ItemIsUserCheckable;
    }
    return flags;
}

QVariant RestoreTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
        case ColName:
            return QStringLiteral("Name");
        case ColSize:
            return QStringLiteral("Größe");
        case ColMoment:
            return QStringLiteral("gesichert am");
        default:
            return {};
    }
}
