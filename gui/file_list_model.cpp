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

}  // namespace

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileListModel::SetRows(std::vector<const CatalogueNode*> rows, std::shared_ptr<const void> owner,
                            bool fat) {
  beginResetModel();
  rows_ = std::move(rows);
  owner_ = std::move(owner);
  fat_ = fat;
  endResetModel();
}

void FileListModel::Clear() { SetRows({}, nullptr, fat_); }

const CatalogueNode* FileListModel::NodeAt(int row) const {
  return row >= 0 && static_cast<std::size_t>(row) < rows_.size() ? rows_[static_cast<std::size_t>(row)]
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
        case kName: return Q(n->name);
        case kCreationTime: return EntryTimeText(*n, fat_);
        case kType: return Q(n->type);
        case kSize: return SizeText(TextToInt(n->size));
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
      if (index.column() == kSize) return QString::number(TextToInt(n->size)) + QStringLiteral(" bytes");
      if (deleted) return QStringLiteral("Deleted file");
      break;
  }
  return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[kColumnCount] = {"File Name", "Creation Time", "Type", "Size"};
  return section >= 0 && section < kColumnCount ? QString::fromLatin1(kTitles[section]) : QVariant();
}

}  // namespace brevant::gui
