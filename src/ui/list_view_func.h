// The grouped list of the main window. Qt has no grouped list view, so
// this is a tree whose top-level rows are painted as group captions (bold
// text and a thin blue band) and whose second level holds the rows.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <array>
#include <string>

namespace vandrel {

class TDeviceManager;
class TStorage;
class TPictureList;

inline constexpr int kDiskRowHeight = 36;
inline constexpr int kColumnName = 0;
inline constexpr int kColumnSize = 1;
inline constexpr int kColumnFileSystem = 2;
inline constexpr int kColumnLetter = 3;
inline constexpr int kColumnMount = 4;
inline constexpr int kColumnStatus = 5;
inline constexpr int kColumnSource = 6;
inline constexpr int kColumnCount = 7;

// Paints the group captions, the row heights and the link column.
class TDiskListDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // Where the link text of a cell is drawn, in the cell's co-ordinates.
  static QRect LinkTextRect(const QRect& cell, const QString& text, const QFont& font);
};

class TGroupedListView : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TGroupedListView(QWidget* parent = nullptr);

  // Removes every row and creates the groups anew, all hidden.
  void ResetGroups(int count);
  void SetGroupCaption(int group, const QString& caption);
  // A row in a group (which becomes visible).
  QTreeWidgetItem* AddRow(int group, const QString& caption);
  QTreeWidgetItem* GroupItem(int group) const;
  bool IsGroupRow(const QTreeWidgetItem* item) const;
  // Group of a row, or -1.
  int GroupOf(const QTreeWidgetItem* item) const;
  // Rows in display order, group captions left out.
  QList<QTreeWidgetItem*> Rows() const;
  // Sorts the rows inside each group by their first column.
  void SortRows();
  // Widens the column to its widest text, `most` pixels at the most; never
  // narrows it (the user's widths stay).
  void WidenToContent(int column, int most);

  static TStorage* RowStorage(const QTreeWidgetItem* item);
  static void SetRowStorage(QTreeWidgetItem* item, TStorage* storage);
  // False for the row that stands for an image without any volume.
  static bool RowMountable(const QTreeWidgetItem* item);
  static void SetRowUnmountable(QTreeWidgetItem* item);

 protected:
  // The keys step over group captions: Enter acts on the row they land on.
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

 private:
  std::vector<QTreeWidgetItem*> groups_;
};

// The image file or disk a volume lives on: its full path, or the name of
// the array it belongs to.
std::string SourceOf(TStorage* storage);

// Fills the list with every volume of the device manager's storages;
// answers the number of rows.
int FillDiskList(TGroupedListView& list, TDeviceManager& manager, const TPictureList& pictures);

}  // namespace vandrel
