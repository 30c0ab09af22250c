#include "ui/list_view_func.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QPainter>

#include "devices/device_manager.h"
#include "storage/partition_types.h"
#include "volumes/raid/raid_manager.h"
#include "storage/hard_drive.h"
#include "ui/icon_index_and_group.h"

namespace vandrel {
namespace {

constexpr int kGroupRole = Qt::UserRole + 1;  // group index on caption rows
constexpr int kStorageRole = Qt::UserRole + 2;
constexpr int kSortRole = Qt::UserRole + 3;        // a number to sort a column by
constexpr int kUnmountableRole = Qt::UserRole + 4;
const QColor kBandColour(0, 128, 255);
constexpr int kCaptionIndent = 12;
constexpr int kLinkPadding = 6;
constexpr int kMaxGroupSteps = 64;

// Rows sort by the clicked column (sizes by their bytes); the group
// captions keep their order whichever way the rows go.
class TListRow : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const QVariant mine = data(0, kGroupRole);
    const QVariant theirs = other.data(0, kGroupRole);
    if (mine.isValid() && theirs.isValid()) {
      const bool ascending =
          treeWidget() == nullptr || treeWidget()->header()->sortIndicatorOrder() == Qt::AscendingOrder;
      return ascending ? mine.toInt() < theirs.toInt() : mine.toInt() > theirs.toInt();
    }
    const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : 0;
    const QVariant a = data(column, kSortRole);
    const QVariant b = other.data(column, kSortRole);
    if (a.isValid() && b.isValid()) return a.toLongLong() < b.toLongLong();
    // Case apart only where the names are otherwise the same ("backup"
    // beside "Backup", not after every capital).
    const int folded = QString::localeAwareCompare(text(column).toCaseFolded(), other.text(column).toCaseFolded());
    return (folded != 0 ? folded : QString::localeAwareCompare(text(column), other.text(column))) < 0;
  }
};

}  // namespace

QRect TDiskListDelegate::LinkTextRect(const QRect& cell, const QString& text, const QFont& font) {
  QFont underlined = font;
  underlined.setUnderline(true);
  const QFontMetrics metrics(underlined);
  const int width = metrics.horizontalAdvance(text);
  const int height = metrics.height();
  return QRect(cell.left() + kLinkPadding, cell.top() + (cell.height() - height) / 2, width, height);
}

void TDiskListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  if (index.data(kGroupRole).isValid()) {
    painter->save();
    QFont bold = option.font;
    bold.setBold(true);
    painter->setFont(bold);
    painter->setPen(option.palette.color(QPalette::Link));
    const QRect text = option.rect.adjusted(kCaptionIndent, 0, 0, 0);
    const QString caption = index.data(Qt::DisplayRole).toString();
    painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter, caption);
    const int after = text.left() + QFontMetrics(bold).horizontalAdvance(caption) + 8;
    const int y = option.rect.center().y() + 1;
    painter->setPen(QPen(kBandColour, 1));
    painter->drawLine(after, y, option.rect.right() - 4, y);
    painter->restore();
    return;
  }
  if (index.column() == kColumnMount) {
    QStyleOptionViewItem copy = option;
    initStyleOption(&copy, index);
    const QString text = copy.text;
    copy.text.clear();
    option.widget->style()->drawControl(QStyle::CE_ItemViewItem, &copy, painter, option.widget);
    painter->save();
    QFont underlined = option.font;
    underlined.setUnderline(true);
    painter->setFont(underlined);
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Link));
    painter->drawText(LinkTextRect(option.rect, text, option.font), Qt::AlignLeft | Qt::AlignVCenter, text);
    painter->restore();
    return;
  }
  QStyledItemDelegate::paint(painter, option, index);
}

QSize TDiskListDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setHeight(index.data(kGroupRole).isValid() ? 26 : kDiskRowHeight);
  return size;
}

TGroupedListView::TGroupedListView(QWidget* parent) : QTreeWidget(parent) {
  setItemDelegate(new TDiskListDelegate(this));
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setExpandsOnDoubleClick(false);
  setIndentation(0);
  setUniformRowHeights(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setIconSize(QSize(32, 32));
  setAllColumnsShowFocus(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  header()->setSectionsMovable(false);
  header()->setStretchLastSection(false);
  setSortingEnabled(true);
  sortByColumn(kColumnName, Qt::AscendingOrder);
}

void TGroupedListView::ResetGroups(int count) {
  clearSelection();
  clear();
  groups_.clear();
  for (int i = 0; i < count; ++i) {
    auto* item = new TListRow(this);
    item->setData(0, kGroupRole, i);
    item->setFlags(Qt::ItemIsEnabled);
    item->setFirstColumnSpanned(true);
    item->setHidden(true);
    item->setExpanded(true);
    groups_.push_back(item);
  }
}

void TGroupedListView::SetGroupCaption(int group, const QString& caption) {
  if (QTreeWidgetItem* item = GroupItem(group)) item->setText(0, caption);
}

QTreeWidgetItem* TGroupedListView::GroupItem(int group) const {
  if (group < 0 || group >= static_cast<int>(groups_.size())) return nullptr;
  return groups_[static_cast<std::size_t>(group)];
}

QTreeWidgetItem* TGroupedListView::AddRow(int group, const QString& caption) {
  QTreeWidgetItem* parent = GroupItem(group);
  if (parent == nullptr) return nullptr;
  auto* row = new TListRow(parent);
  row->setText(kColumnName, caption);
  row->setTextAlignment(kColumnSize, Qt::AlignRight | Qt::AlignVCenter);
  row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  parent->setHidden(false);
  parent->setExpanded(true);
  return row;
}

bool TGroupedListView::IsGroupRow(const QTreeWidgetItem* item) const {
  return item != nullptr && item->data(0, kGroupRole).isValid();
}

int TGroupedListView::GroupOf(const QTreeWidgetItem* item) const {
  if (item == nullptr || IsGroupRow(item) || item->parent() == nullptr) return -1;
  return item->parent()->data(0, kGroupRole).toInt();
}

QList<QTreeWidgetItem*> TGroupedListView::Rows() const {
  QList<QTreeWidgetItem*> rows;
  for (QTreeWidgetItem* group : groups_)
    for (int i = 0; i < group->childCount(); ++i) rows.append(group->child(i));
  return rows;
}

void TGroupedListView::WidenToContent(int column, int most) {
  const int wanted = std::min(sizeHintForColumn(column) + 12, most);
  if (wanted > columnWidth(column)) setColumnWidth(column, wanted);
}

void TGroupedListView::SortRows() { sortItems(header()->sortIndicatorSection(), header()->sortIndicatorOrder()); }

TStorage* TGroupedListView::RowStorage(const QTreeWidgetItem* item) {
  if (item == nullptr) return nullptr;
  return reinterpret_cast<TStorage*>(item->data(0, kStorageRole).value<quintptr>());
}

void TGroupedListView::SetRowStorage(QTreeWidgetItem* item, TStorage* storage) {
  item->setData(0, kStorageRole, QVariant::fromValue(reinterpret_cast<quintptr>(storage)));
}

QModelIndex TGroupedListView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
  QModelIndex index = QTreeWidget::moveCursor(action, modifiers);
  bool back = action == MoveUp || action == MovePageUp || action == MoveEnd;
  for (int guard = 0; guard < 2 * kMaxGroupSteps && index.isValid() && IsGroupRow(itemFromIndex(index)); ++guard) {
    QModelIndex next = back ? indexAbove(index) : indexBelow(index);
    if (!next.isValid() && back) {
      // Above the first caption there is no row: the one below it.
      back = false;
      next = indexBelow(index);
    }
    index = next;
  }
  return index.isValid() ? index : currentIndex();
}

bool TGroupedListView::RowMountable(const QTreeWidgetItem* item) {
  return item != nullptr && !item->data(0, kUnmountableRole).isValid();
}

void TGroupedListView::SetRowUnmountable(QTreeWidgetItem* item) { item->setData(0, kUnmountableRole, true); }

std::string SourceOf(TStorage* storage) {
  TStorage* top = TDeviceManager::HoldingDevice(storage);
  if (top == nullptr) return {};
  return top->Path.empty() ? top->GetName(true) : top->Path;
}

namespace {

// An array's row names its members: the files that are read, and which
// are missing.
bool ShowMembers(QTreeWidgetItem* row, TStorage* storage) {
  auto* raid = dynamic_cast<TRaidDevice*>(TDeviceManager::HoldingDevice(storage));
  if (raid == nullptr) return false;
  QStringList names;
  QStringList lines;
  int missing = 0;
  for (const TRaidMember& member : raid->Information().Members) {
    if (member.Disk == nullptr) {
      ++missing;
      continue;
    }
    const QString full = QString::fromStdString(SourceOf(member.Disk));
    const QString file = QFileInfo(full).fileName();
    names << (QFileInfo(full).isFile() && !file.isEmpty() ? file : full);
    lines << full;
  }
  if (missing > 0) {
    names << QStringLiteral("%1 missing").arg(missing);
    lines << QStringLiteral("%1 member(s) missing").arg(missing);
  }
  const QString all = QStringLiteral("Array of:\n") + lines.join(QLatin1Char('\n'));
  row->setText(kColumnSource, names.join(QStringLiteral(", ")));
  row->setToolTip(kColumnSource, all);
  row->setToolTip(kColumnName, row->text(kColumnName) + QLatin1Char('\n') + all);
  return true;
}

void ShowSource(QTreeWidgetItem* row, TStorage* storage) {
  if (ShowMembers(row, storage)) return;
  const std::string source = SourceOf(storage);
  const QString full = QString::fromStdString(source);
  // Images by their file name; the tooltip has the whole path.
  const bool file = storage->StorageSource == ssImageFile || QFileInfo(full).isFile();
  row->setText(kColumnSource, file ? QFileInfo(full).fileName() : full);
  row->setToolTip(kColumnSource, full);
  row->setToolTip(kColumnName, row->text(kColumnName) + QStringLiteral("\nOn: ") + full);
}

enum class MemberState { kNone, kOfFormedArray, kOfIncompleteArray };

// Whether the whole device is a member of an array, and whether that array
// could be formed (enough members to read it).
MemberState MemberStateOf(TDeviceManager& manager, TDevice* device) {
  MemberState state = MemberState::kNone;
  const std::int32_t count = manager.StorageCount();
  for (std::int32_t i = 0; i < count; ++i) {
    auto* raid = dynamic_cast<TRaidDevice*>(manager.GetStorage(i));
    if (raid == nullptr) continue;
    for (const TRaidMember& member : raid->Information().Members) {
      if (member.Disk != device) continue;
      if (raid->RaidState != rsBroken) return MemberState::kOfFormedArray;
      state = MemberState::kOfIncompleteArray;
    }
  }
  return state;
}

}  // namespace

int FillDiskList(TGroupedListView& list, TDeviceManager& manager, const TPictureList& pictures) {
  int added = 0;
  list.setUpdatesEnabled(false);
  try {
    list.ResetGroups(kGroupCount);
    for (int group = 0; group < kGroupCount; ++group)
      list.SetGroupCaption(group, QString::fromStdString(GroupCaption(group)));
    const std::int32_t count = manager.StorageCount();
    for (std::int32_t i = 0; i < count; ++i) {
      auto* device = dynamic_cast<TDevice*>(manager.GetStorage(i));
      if (device == nullptr) continue;
      const std::int32_t partitions = device->PartitionCount();
      int listed = 0;
      for (std::int32_t p = 0; p < partitions; ++p) {
        TPartition* partition = device->GetPartition(p);
        if (partition == nullptr || partition->Metadata) continue;
        const TPictureAndGroup placement = PictureAndGroup(partition);
        QTreeWidgetItem* row = list.AddRow(
            placement.group, QString::fromStdString(TDeviceManager::DisplayName(partition, false)));
        if (row == nullptr) continue;
        row->setIcon(kColumnName, QIcon(pictures.Picture(placement.picture)));
        row->setText(kColumnSize, QString::fromStdString(TDeviceManager::SizeText(partition)));
        row->setText(kColumnFileSystem, QString::fromStdString(VolumeTypeName(*partition)));
        row->setData(kColumnSize, kSortRole, QVariant::fromValue<qlonglong>(partition->Size));
        TGroupedListView::SetRowStorage(row, partition);
        ShowSource(row, partition);
        ++added;
        ++listed;
      }
      // An image the user added that holds nothing Vandrel recognises is
      // still one row, so it is seen and can be told apart from a typo; a
      // whole member of an array that formed is seen in the array's row.
      const MemberState member = listed == 0 ? MemberStateOf(manager, device) : MemberState::kNone;
      if (listed == 0 && device->UserAdded() && member != MemberState::kOfFormedArray) {
        const QString file = QFileInfo(QString::fromStdString(device->Path)).fileName();
        QTreeWidgetItem* row = list.AddRow(kGroupImages, file.isEmpty() ? QString::fromStdString(device->GetName(true)) : file);
        if (row == nullptr) continue;
        row->setIcon(kColumnName, QIcon(pictures.Picture(2)));
        row->setText(kColumnSize, QString::fromStdString(TDeviceManager::SizeText(device)));
        row->setData(kColumnSize, kSortRole, QVariant::fromValue<qlonglong>(device->Size));
        if (member == MemberState::kOfIncompleteArray) {
          row->setText(kColumnFileSystem, QStringLiteral("RAID member, array incomplete"));
          row->setToolTip(kColumnFileSystem, QStringLiteral("This file is one disk of a RAID array whose other "
                                                            "members are missing: add their image files too."));
        } else {
          row->setText(kColumnFileSystem, QStringLiteral("No volume found"));
          row->setToolTip(kColumnFileSystem, QStringLiteral("Vandrel found no partition table and no file system it "
                                                            "can read in this file."));
        }
        TGroupedListView::SetRowStorage(row, device);
        TGroupedListView::SetRowUnmountable(row);
        ShowSource(row, device);
        ++added;
      }
    }
    list.SortRows();
  } catch (...) {
    list.setUpdatesEnabled(true);
    throw;
  }
  list.setUpdatesEnabled(true);
  return added;
}

}  // namespace vandrel
