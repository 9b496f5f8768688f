#include "gui/file_list_model.h"

#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <unordered_map>

#include "core/text.h"
#include "gui/display_text.h"
#include "model/file_listing.h"
#include "model/file_sort.h"

namespace brevant::gui {
namespace {

QString Q(const char16_t* text) { return QString::fromUtf16(text); }

std::uint64_t SizeOf(const CatalogueNode& n) {
  const std::int64_t v = TextToInt(n.size);
  return v < 0 ? 0 : static_cast<std::uint64_t>(v);
}

QColor ConditionColour(FileCondition condition) {
  switch (condition) {
    case FileCondition::Intact:
      return QColor(24, 128, 48);
    case FileCondition::PartlyOverwritten:
      return QColor(196, 112, 0);
    case FileCondition::Overwritten:
      return QColor(176, 32, 32);
    case FileCondition::Unknown:
    case FileCondition::Live:
      break;
  }
  return QColor(112, 112, 112);
}

// A dot of the condition's colour, so it is told apart at a glance and not by the words alone.
const QIcon& ConditionIcon(FileCondition condition) {
  static std::unordered_map<int, QIcon> icons;
  auto it = icons.find(static_cast<int>(condition));
  if (it != icons.end()) return it->second;
  QPixmap dot(12, 12);
  dot.fill(Qt::transparent);
  QPainter painter(&dot);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(ConditionColour(condition).darker(130));
  painter.setBrush(ConditionColour(condition));
  painter.drawEllipse(QRectF(1.5, 1.5, 9, 9));
  painter.end();
  return icons.emplace(static_cast<int>(condition), QIcon(dot)).first->second;
}

ui::FileSortKey SortKeyOf(int column) {
  switch (column) {
    case FileListModel::kCreationTime:
      return ui::FileSortKey::Time;
    case FileListModel::kType:
      return ui::FileSortKey::Type;
    case FileListModel::kSize:
      return ui::FileSortKey::Size;
    case FileListModel::kCondition:
      return ui::FileSortKey::Condition;
    case FileListModel::kPath:
      return ui::FileSortKey::Path;
  }
  return ui::FileSortKey::Name;
}

// For rows listed without a result: every deleted file's condition is unknown, no paths.
const RunResult& NoResult() {
  static const RunResult none;
  return none;
}

}  // namespace

QString ConditionLabel(const FileState& state) {
  switch (state.condition) {
    case FileCondition::Live:
      return {};
    case FileCondition::Intact:
      return QStringLiteral("Intact");
    case FileCondition::PartlyOverwritten:
      return QStringLiteral("Partly overwritten (%1)").arg(SizeText(state.overwrittenBytes));
    case FileCondition::Overwritten:
      return QStringLiteral("Overwritten");
    case FileCondition::Unknown:
      break;
  }
  return QStringLiteral("Unknown");
}

QString ConditionExplanation(const FileState& state) {
  switch (state.condition) {
    case FileCondition::Live:
      return {};
    case FileCondition::Intact:
      return QStringLiteral(
          "Intact: every cluster this deleted file's data needs is still free and used by no "
          "other file, so it can be recovered whole.");
    case FileCondition::PartlyOverwritten:
      return QStringLiteral(
                 "Partly overwritten: %1 bytes of this deleted file lie in clusters that other "
                 "data uses now. A recovered copy holds that other data in those places.")
          .arg(state.overwrittenBytes);
    case FileCondition::Overwritten:
      return QStringLiteral(
          "Overwritten: the start of this deleted file, or all of it, lies in clusters that "
          "other data uses now. A recovered copy holds little or nothing of the file.");
    case FileCondition::Unknown:
      break;
  }
  return QStringLiteral(
      "Unknown: the volume's allocation map could not be read, so whether this deleted file's "
      "data is still there cannot be told.");
}

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileListModel::SetRows(std::vector<const CatalogueNode*> rows,
                            std::shared_ptr<const RunResult> result) {
  beginResetModel();
  given_ = std::move(rows);
  rows_ = given_;
  fsName_ = result ? result->fsName : std::string();
  owner_ = result;
  result_ = std::move(result);
  ApplySort();
  endResetModel();
}

void FileListModel::SetRows(std::vector<const CatalogueNode*> rows,
                            std::shared_ptr<const void> owner, std::string fsName) {
  beginResetModel();
  given_ = std::move(rows);
  rows_ = given_;
  result_.reset();
  owner_ = std::move(owner);
  fsName_ = std::move(fsName);
  ApplySort();
  endResetModel();
}

void FileListModel::Clear() { SetRows({}, nullptr, fsName_); }

void FileListModel::ApplySort() {
  if (sortColumn_ < 0) {
    rows_ = given_;
    return;
  }
  ui::SortFiles(rows_, SortKeyOf(sortColumn_), sortOrder_ == Qt::DescendingOrder,
                result_ ? *result_ : NoResult());
}

void FileListModel::sort(int column, Qt::SortOrder order) {
  if (column >= kColumnCount) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  // The selection and the current row follow their files.
  const QModelIndexList before = persistentIndexList();
  std::vector<const CatalogueNode*> nodes;
  nodes.reserve(static_cast<std::size_t>(before.size()));
  for (const QModelIndex& i : before) nodes.push_back(NodeAt(i.row()));
  sortColumn_ = column < 0 ? -1 : column;
  sortOrder_ = order;
  ApplySort();
  if (!before.isEmpty()) {
    std::unordered_map<const CatalogueNode*, int> rowOf;
    rowOf.reserve(rows_.size());
    for (std::size_t r = 0; r < rows_.size(); ++r) rowOf.emplace(rows_[r], static_cast<int>(r));
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype k = 0; k < before.size(); ++k) {
      auto it = rowOf.find(nodes[static_cast<std::size_t>(k)]);
      after << (it == rowOf.end() ? QModelIndex() : index(it->second, before[k].column()));
    }
    changePersistentIndexList(before, after);
  }
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

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
  const int column = index.column();
  if (column == kCondition) {
    if (!deleted) return {};
    const FileState state = result_ ? result_->StateOf(*n) : FileState{};
    switch (role) {
      case Qt::DisplayRole:
        return ConditionLabel(state);
      case Qt::ToolTipRole:
        return ConditionExplanation(state);
      case Qt::ForegroundRole:
        return ConditionColour(state.condition);
      case Qt::DecorationRole:
        return ConditionIcon(state.condition);
    }
    return {};
  }
  if (column == kPath) {
    if (!result_ || !result_->paths) return {};
    switch (role) {
      case Qt::DisplayRole: {
        const std::u16string folder = result_->paths->FileFolder(n);
        return folder.empty() ? QStringLiteral("/") : Q(folder);
      }
      case Qt::ToolTipRole:
        return Q(result_->paths->EntryPath(n));
      case Qt::ForegroundRole:
        if (deleted) return QColor(176, 32, 32);
        break;
    }
    return {};
  }
  switch (role) {
    case Qt::DisplayRole:
      switch (column) {
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
      if (column == kSize) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      break;
    case Qt::ForegroundRole:
      if (deleted) return QColor(176, 32, 32);
      break;
    case Qt::DecorationRole:
      if (deleted && column == kName)
        return QApplication::style()->standardIcon(QStyle::SP_TrashIcon);
      break;
    case Qt::ToolTipRole:
      if (column == kSize) return QString::number(SizeOf(*n)) + QStringLiteral(" bytes");
      // The whole name, however narrow the column.
      if (column == kName)
        return deleted ? Q(n->name) + QStringLiteral("\nDeleted file") : Q(n->name);
      if (deleted) return QStringLiteral("Deleted file");
      break;
  }
  return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  static const char* const kTitles[kColumnCount] = {"File Name", "Creation Time", "Type",
                                                    "Size",      "Condition",     "Path"};
  static const char* const kTips[kColumnCount] = {
      "The file's name", "The time the volume records for the file", "The kind of entry",
      "The file's size", "For a deleted file: whether its data is still there",
      "The folder the file was found in"};
  if (section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) return QString::fromLatin1(kTitles[section]);
  if (role == Qt::ToolTipRole)
    return QString::fromLatin1(kTips[section]) + QStringLiteral(". Click to sort by it.");
  return {};
}

}  // namespace brevant::gui
