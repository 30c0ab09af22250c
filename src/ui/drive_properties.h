// The properties window of one storage: its volume, the disk that carries
// it and, for RAID storage, the array with its members.
#pragma once

#include <QDialog>

class QFormLayout;
class QLabel;
class QLineEdit;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace vandrel {

class TDeviceManager;
class TPictureList;
class TStorage;

class TfmDriveProperties : public QDialog {
  Q_OBJECT

 public:
  TfmDriveProperties(QWidget* parent, TDeviceManager& manager);

  void ShowStorage(TStorage* storage, const TPictureList* small, const TPictureList* extraLarge,
                   const TPictureList* large);

  QTabWidget* PageControl = nullptr;
  QWidget* tsPartition = nullptr;
  QWidget* tsPhysicalDisk = nullptr;
  QWidget* tsRaid = nullptr;
  QLabel *Image1 = nullptr, *Image2 = nullptr, *Image3 = nullptr;
  QLabel *lbName = nullptr, *lbPartSize = nullptr, *lbFreeSpace = nullptr, *lbpartType = nullptr,
         *lbBootInd = nullptr, *lbImageFile = nullptr, *lbPartitionType = nullptr;
  QWidget* pnlAdv = nullptr;
  QLineEdit *lbStartingOffset = nullptr, *lbPartLen = nullptr;
  QLabel *lbDiskName = nullptr, *lbDiskSize = nullptr, *lbSecTotal = nullptr, *lbbytespersector = nullptr,
         *lbSerialNumber = nullptr, *lbPartOf = nullptr, *lbPart = nullptr;
  QTreeWidget* lvVolume = nullptr;
  QLabel *lbRaidName = nullptr, *lbRaidType = nullptr, *lbStripeSize = nullptr, *lbDiskCount = nullptr,
         *lbRaidStatus = nullptr;
  QTreeWidget* lvRaidDisks = nullptr;

  bool PageVisible(QWidget* page) const;
  static TStorage* RowStorage(const QTreeWidgetItem* item);

 private:
  void FillPartitionPage(TStorage* volume);
  void FillDiskPage(TStorage* disk);
  void FillRaidPage(TStorage* storage);
  void SetPageVisible(QWidget* page, bool visible);
  void ItemDoubleClicked(QTreeWidgetItem* item);
  QWidget* MakePage(const QString& caption, int tag, QLabel*& picture, QLabel*& name, QFormLayout*& form);
  QLabel* AddRow(QFormLayout* form, const QString& caption, int tag);

  TDeviceManager& manager_;
  const TPictureList* small_ = nullptr;
  const TPictureList* large_ = nullptr;
  const TPictureList* extraLarge_ = nullptr;
};

}  // namespace vandrel
