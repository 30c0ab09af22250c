// Which picture and which list group a storage gets, and the disk pictures
// behind the picture indexes.
#pragma once

#include <QColor>
#include <QPixmap>
#include <map>
#include <string>

namespace vandrel {

class TStorage;

inline constexpr int kGroupCount = 9;
enum TDiskGroup : int {
  kGroupCommonFolders = 0, kGroupHardDisks = 1, kGroupRemovable = 2, kGroupPhysical = 3, kGroupRemote = 4,
  kGroupRaid = 5, kGroupImages = 6, kGroupRecovered = 7, kGroupContainers = 8,
};

struct TPictureAndGroup {
  int picture = 16;
  int group = kGroupHardDisks;
};

// Picture 16 and group 1 for nothing.
TPictureAndGroup PictureAndGroup(TStorage* storage);
std::string GroupCaption(int group);

// One of the three picture lists (16, 32 and 48 pixels) of the disk
// pictures; an index without a picture gives the "unknown" picture.
class TPictureList {
 public:
  explicit TPictureList(int size) : size_(size) {}
  int Size() const { return size_; }
  QPixmap Picture(int index) const;

 private:
  int size_;
  mutable std::map<int, QPixmap> cache_;
};

// A picture of the program's own (":/pictures/NAME.svg") at the given size.
// `ink`, when given, replaces the picture's text colour (#1f2a35), so
// words in it follow the palette.
QPixmap RenderPicture(const char* name, int width, int height, const QColor& ink = {});

}  // namespace vandrel
