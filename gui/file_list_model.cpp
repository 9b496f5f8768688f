#include "gui/file_list_model.h"

#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QStyle>

#include "core/text.h"
#include "gui/display_text.h"

namespace brevant::gui {
namespace {

QString Q(const char16_t* text) { return QString::fromUtf16(text); }

std::uint64_t SizeOf(const CatalogueNode& n) {
  const std::int64_t v = TextToInt(n.size);
  return v < 0 ? 0 : static_cast<std::uint64_t>(v);
}

}  // namespace

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileListModel::SetRows(std::vector<const CatalogueNode*> rows,
                            std::shared_ptr<const void> owner, std::string fsName) {
  beginResetModel();
  rows_ = std::move(rows);
  owner_ = std::move(owner);
  fsName_ = std::move(fsName);
  endResetModel();
}

void FileListModel::Clear() { SetRows({}, nullptr, fsName_); }

const CatalogueNode* FileListModel::NodeAt(int row) const {
  return row >= 0 && static_cast<std::size_t>(row) < rows_.size()
             ? rows_[static_cast<std::size_t>(row)]
             : nullptr;
}

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  const CatalogueNode* n = NodeAt(index.row());
  if (!n) return {};
  const bool deleted = n->IsDeleted();
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kName:
          return Q(n->name);
        case kCreationTime:
          return EntryTimeText(*n, fsName_);
        case kType:
          return Q(n->type);
        case kSize:
          return SizeText(SizeOf(*n));
      }
      break;
    case Qt::TextAlignmentRole:
      if (index.column() == kSize) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      break;
    case Qt::ForegroundRole:
      if (deleted) return QColor(176, 32, 32);
      break;
    case Qt::DecorationRole:
      if (deleted && index.column() == kName)
        return QApplication::style()->standardIcon(QStyle::SP_TrashIcon);
      break;
    case Qt::ToolTipRole:
      if (index.column() == kSize) return QString::number(SizeOf(*n)) + QStringLiteral(" bytes");
      // The whole name, however narrow the column.
      if (index.column() == kName)
        return deleted ? Q(n->name) + QStringLiteral("\nDeleted file") : Q(n->name);
      if (deleted) return QStringLiteral("Deleted file");
      break;
  }
  return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[kColumnCount] = {"File Name", "Creation Time", "Type", "Size"};
  return section >= 0 && section < kColumnCount ? QString::fromLatin1(kTitles[section])
                                                : QVariant();
}

}  // namespace brevant::gui
