#include "ui/icon_index_and_group.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include "common/messages.h"
#include "storage/hard_drive.h"

namespace vandrel {

TPictureAndGroup PictureAndGroup(TStorage* storage) {
  TPictureAndGroup result;
  if (storage == nullptr) return result;
  const TStorageType type = storage->StorageType;
  const TStorageSource source = storage->StorageSource;
  auto* partition = dynamic_cast<TPartition*>(storage);
  const int kind = partition != nullptr ? partition->Information.Kind : -1;
  switch (type) {
    case stHardDrive: result = {0, kGroupPhysical}; break;
    case stPartition: result = {1, kGroupHardDisks}; break;
    case stFloppy: result = {3, kGroupRemovable}; break;
    case stCD: result = {5, kGroupRemovable}; break;
    case stContainer: result = {4, kGroupContainers}; break;
    case stRaidVolume:
    case stDynamicDisk: result = {17, kGroupHardDisks}; break;
    default: result = {source == ssLdm ? 17 : 16, kGroupHardDisks}; break;
  }
  if (source == ssNetwork) result = {2, kGroupRemote};
  if (source == ssImageFile) {
    result.picture = 2;
    if (type == stHardDrive) result.group = kGroupImages;
  }
  if (source == ssRaid && type != stRaidVolume) result.group = kGroupRaid;
  if (source == ssRemovable && type != stFloppy) {
    result.picture = 4;
    result.group = type == stHardDrive ? kGroupPhysical : kGroupRemovable;
  }
  if (partition != nullptr && (kind == pkVirtual || kind == pkRecovered)) result.group = kGroupRecovered;
  if ((type == stPartition || type == stRaidVolume) && partition != nullptr && kind == pkUnallocated)
    result.picture = 16;
  return result;
}

std::string GroupCaption(int group) {
  switch (group) {
    case kGroupCommonFolders: return Message(84);
    case kGroupHardDisks: return Message(85);
    case kGroupRemovable: return Message(86);
    case kGroupPhysical: return Message(87);
    case kGroupRemote: return "Remote disks";
    case kGroupRaid: return "Raid disks";
    case kGroupImages: return Message(88);
    case kGroupRecovered: return "Recovered Partitions";
    case kGroupContainers: return "Containers";
    default: return {};
  }
}

QPixmap RenderPicture(const char* name, int width, int height, const QColor& ink) {
  QFile file(QStringLiteral(":/pictures/%1.svg").arg(QString::fromLatin1(name)));
  QByteArray svg = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  if (ink.isValid()) svg.replace("#1f2a35", ink.name().toLatin1());
  QSvgRenderer renderer(svg);
  QPixmap pixmap(width, height);
  pixmap.fill(Qt::transparent);
  if (!renderer.isValid()) return pixmap;
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  return pixmap;
}

QPixmap TPictureList::Picture(int index) const {
  auto found = cache_.find(index);
  if (found != cache_.end()) return found->second;
  static const int known[] = {0, 1, 2, 3, 4, 5, 16, 17};
  int used = 16;
  for (int candidate : known)
    if (candidate == index) used = index;
  const std::string name = "disk_" + std::to_string(used);
  QPixmap pixmap = RenderPicture(name.c_str(), size_, size_);
  cache_.emplace(index, pixmap);
  return pixmap;
}

}  // namespace vandrel
