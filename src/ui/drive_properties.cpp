#include "ui/drive_properties.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "common/func.h"
#include "common/messages.h"
#include "devices/device_manager.h"
#include "storage/partition_types.h"
#include "platform/volumes.h"
#include "storage/hard_drive.h"
#include "ui/lng.h"
#include "ui/raid_link.h"
#include "ui/icon_index_and_group.h"

namespace vandrel {
namespace {

constexpr int kStorageRole = Qt::UserRole + 2;
constexpr std::int64_t kUnknownSize = -1;  // all 64 bits set

std::string Bytes(std::int64_t value) { return Sprintf("%s b", GroupDigits(static_cast<std::uint64_t>(value)).c_str()); }

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Texts that may not fit show themselves whole as a hint.
void SetFittingText(QLabel* label, const QString& text) {
  label->setText(text);
  label->setToolTip(text);
}

QTreeWidget* MakeList(QWidget* parent, const QStringList& captions, const std::vector<int>& widths) {
  auto* list = new QTreeWidget(parent);
  list->setRootIsDecorated(false);
  list->setHeaderLabels(captions);
  list->setIconSize(QSize(16, 16));
  list->setAllColumnsShowFocus(true);
  for (std::size_t i = 0; i < widths.size(); ++i) list->setColumnWidth(static_cast<int>(i), widths[i]);
  return list;
}

}  // namespace

TfmDriveProperties::TfmDriveProperties(QWidget* parent, TDeviceManager& manager) : QDialog(parent), manager_(manager) {
  setObjectName(QStringLiteral("fmDriveProperties"));
  setWindowTitle(QStringLiteral("Properties"));
  QFont font;
  ApplyLanguageFont(font);
  setFont(font);
  PageControl = new QTabWidget(this);
  PageControl->setObjectName(QStringLiteral("PageControl"));

  QFormLayout* form = nullptr;
  tsPartition = MakePage(QStringLiteral("Partition"), 10001, Image1, lbName, form);
  lbPartSize = AddRow(form, QStringLiteral("Partition size:"), 10002);
  lbFreeSpace = AddRow(form, QStringLiteral("Free space:"), 10003);
  lbpartType = AddRow(form, QStringLiteral("File system:"), 10004);
  lbBootInd = AddRow(form, QStringLiteral("Active partition:"), 10005);
  lbImageFile = AddRow(form, QStringLiteral("Image file:"), 10006);
  lbImageFile->setWordWrap(true);
  pnlAdv = new QWidget(tsPartition);
  auto* adv = new QFormLayout(pnlAdv);
  adv->setContentsMargins(0, 8, 0, 0);
  lbStartingOffset = new QLineEdit(pnlAdv);
  lbPartLen = new QLineEdit(pnlAdv);
  for (QLineEdit* edit : {lbStartingOffset, lbPartLen}) {
    edit->setReadOnly(true);
    edit->setMaximumWidth(180);
  }
  auto* startCaption = new QLabel(QStringLiteral("Start Sector"), pnlAdv);
  startCaption->setProperty("tag", 10007);
  auto* lengthCaption = new QLabel(QStringLiteral("Total Sectors"), pnlAdv);
  lengthCaption->setProperty("tag", 10008);
  auto* typeCaption = new QLabel(QStringLiteral("Type"), pnlAdv);
  typeCaption->setProperty("tag", 10009);
  lbPartitionType = new QLabel(pnlAdv);
  adv->addRow(startCaption, lbStartingOffset);
  adv->addRow(lengthCaption, lbPartLen);
  adv->addRow(typeCaption, lbPartitionType);
  tsPartition->layout()->addWidget(pnlAdv);
  static_cast<QVBoxLayout*>(tsPartition->layout())->addStretch(1);
  pnlAdv->hide();

  tsPhysicalDisk = MakePage(QStringLiteral("Physical Disk"), 10010, Image2, lbDiskName, form);
  lbDiskSize = AddRow(form, QStringLiteral("Capacity:"), 10011);
  lbSecTotal = AddRow(form, QStringLiteral("Total sectors:"), 10012);
  lbbytespersector = AddRow(form, QStringLiteral("Bytes per sector:"), 10013);
  lbSerialNumber = AddRow(form, QStringLiteral("Serial number:"), 10014);
  lbPart = AddRow(form, QStringLiteral("Part of:"), 10015);
  lbPartOf = qobject_cast<QLabel*>(form->labelForField(lbPart));
  auto* volumes = new QLabel(QStringLiteral("Volumes:"), tsPhysicalDisk);
  volumes->setProperty("tag", 10016);
  tsPhysicalDisk->layout()->addWidget(volumes);
  lvVolume = MakeList(tsPhysicalDisk, {QStringLiteral("Volume"), QStringLiteral("Capacity")}, {220, 100});
  lvVolume->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  tsPhysicalDisk->layout()->addWidget(lvVolume);

  tsRaid = MakePage(QStringLiteral("Raid"), 10017, Image3, lbRaidName, form);
  lbRaidType = AddRow(form, QStringLiteral("Type:"), 10018);
  lbStripeSize = AddRow(form, QStringLiteral("Stripe size:"), 10019);
  lbDiskCount = AddRow(form, QStringLiteral("Total disks:"), 10020);
  lbRaidStatus = AddRow(form, QStringLiteral("Status"), 10021);
  lvRaidDisks = MakeList(tsRaid,
                         {QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("ID"),
                          QStringLiteral("Serial number"), QStringLiteral("Start Sector"),
                          QStringLiteral("Count Sector")},
                         {220, 75, 30, 150, 100, 100});
  tsRaid->layout()->addWidget(lvRaidDisks);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  auto* Button1 = new QPushButton(QStringLiteral("Ok"), this);
  Button1->setDefault(true);
  Button1->setProperty("tag", 10022);
  buttons->addWidget(Button1);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(8, 8, 8, 8);
  column->addWidget(PageControl, 1);
  column->addLayout(buttons);
  setFixedSize(403, 430);

  connect(lvVolume, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { ItemDoubleClicked(item); });
  connect(lvRaidDisks, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { ItemDoubleClicked(item); });
  TranslateForm(this);
}

QWidget* TfmDriveProperties::MakePage(const QString& caption, int tag, QLabel*& picture, QLabel*& name,
                                      QFormLayout*& form) {
  auto* page = new QWidget(PageControl);
  page->setProperty("tag", tag);
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(12, 12, 12, 12);
  auto* head = new QHBoxLayout();
  picture = new QLabel(page);
  picture->setFixedSize(48, 48);
  name = new QLabel(page);
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  name->setWordWrap(false);
  name->setMinimumWidth(10);
  name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  head->addWidget(picture);
  head->addSpacing(10);
  head->addWidget(name, 1);
  column->addLayout(head);
  auto* line = new QFrame(page);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  column->addWidget(line);
  form = new QFormLayout();
  form->setLabelAlignment(Qt::AlignLeft);
  form->setHorizontalSpacing(16);
  column->addLayout(form);
  PageControl->addTab(page, caption);
  return page;
}

QLabel* TfmDriveProperties::AddRow(QFormLayout* form, const QString& caption, int tag) {
  auto* label = new QLabel(caption);
  label->setProperty("tag", tag);
  auto* value = new QLabel();
  value->setTextInteractionFlags(Qt::TextSelectableByMouse);
  form->addRow(label, value);
  return value;
}

bool TfmDriveProperties::PageVisible(QWidget* page) const { return PageControl->isTabVisible(PageControl->indexOf(page)); }

void TfmDriveProperties::SetPageVisible(QWidget* page, bool visible) {
  PageControl->setTabVisible(PageControl->indexOf(page), visible);
}

TStorage* TfmDriveProperties::RowStorage(const QTreeWidgetItem* item) {
  if (item == nullptr) return nullptr;
  return reinterpret_cast<TStorage*>(item->data(0, kStorageRole).value<quintptr>());
}

void TfmDriveProperties::ShowStorage(TStorage* storage, const TPictureList* small, const TPictureList* extraLarge,
                                     const TPictureList* large) {
  small_ = small;
  extraLarge_ = extraLarge;
  large_ = large;
  TStorage* volume = nullptr;
  TStorage* disk = nullptr;
  PageControl->setCurrentIndex(0);
  if (dynamic_cast<TStorageWithPartitions*>(storage) != nullptr) disk = storage;
  SetPageVisible(tsPartition, true);
  SetPageVisible(tsPhysicalDisk, true);
  SetPageVisible(tsRaid, false);
  auto* partition = dynamic_cast<TPartition*>(storage);
  if (IsRaidStorage(storage)) {
    SetPageVisible(tsRaid, true);
    volume = nullptr;
    disk = nullptr;
    if (partition != nullptr) volume = storage;
    const std::optional<TRaidView> raid = DescribeRaid(storage);
    if (raid && raid->isVolume) {
      volume = storage;
      SetPageVisible(tsPhysicalDisk, false);
    } else if (raid && raid->isDevice && partition == nullptr) {
      disk = storage;
      SetPageVisible(tsPartition, false);
    }
    SetPageVisible(tsPartition, volume != nullptr);
    FillRaidPage(storage);
  }
  if (partition != nullptr) {
    volume = storage;
    disk = partition->Parent();
  }
  if (extraLarge_ != nullptr) {
    Image1->setPixmap(extraLarge_->Picture(PictureAndGroup(volume).picture));
    Image2->setPixmap(extraLarge_->Picture(PictureAndGroup(disk).picture));
  }
  if (volume != nullptr)
    FillPartitionPage(volume);
  else
    SetPageVisible(tsPartition, false);
  if (disk != nullptr) FillDiskPage(disk);
  // The first visible page comes up.
  for (int i = 0; i < PageControl->count(); ++i)
    if (PageControl->isTabVisible(i)) {
      PageControl->setCurrentIndex(i);
      break;
    }
  const std::string part = disk != nullptr ? RaidDevicesContaining(manager_, disk) : std::string();
  lbPart->setText(Q(part));
  lbPart->setVisible(!part.empty());
  if (lbPartOf != nullptr) lbPartOf->setVisible(!part.empty());
}

void TfmDriveProperties::FillPartitionPage(TStorage* volume) {
  SetFittingText(lbName, Q(volume->GetName(false)));
  auto* partition = dynamic_cast<TPartition*>(volume);
  pnlAdv->setVisible(partition != nullptr);
  if (partition != nullptr) {
    lbStartingOffset->setText(QString::number(partition->Information.Start));
    lbPartLen->setText(QString::number(partition->Information.Count));
    lbPartitionType->setText(QString::fromLatin1(PartitionKindName(partition->Information.Kind)));
  }
  lbpartType->setText(Q(VolumeTypeName(*volume)));
  const bool active = partition != nullptr && partition->Information.MbrEntry[0] == 0x80;
  lbBootInd->setText(Q(Message(active ? 36 : 37)));
  lbImageFile->setText(volume->Path.empty() ? Q(Message(105)) : Q(volume->Path));
  lbPartSize->setText(volume->Size == kUnknownSize ? QString() : Q(Bytes(volume->Size)));
  lbFreeSpace->clear();
  if (auto* named = dynamic_cast<TVolume*>(volume)) {
    const std::string where = named->GetWindowsName();
    std::uint64_t freeBytes = 0;
    std::uint64_t totalBytes = 0;
    if (!where.empty() && platform::FreeSpace(where, freeBytes, totalBytes))
      lbFreeSpace->setText(Q(Bytes(static_cast<std::int64_t>(freeBytes))));
  }
}

void TfmDriveProperties::FillDiskPage(TStorage* disk) {
  lbDiskSize->setText(disk->Size == kUnknownSize ? QString() : Q(Bytes(disk->Size)));
  SetFittingText(lbDiskName, Q(disk->GetName(false)));
  lbSecTotal->setText(Q(GroupDigits(static_cast<std::uint64_t>(disk->SectorCount))));
  lbbytespersector->setText(QString::number(disk->SectorSize));
  std::string serial;
  if (auto* drive = dynamic_cast<THardDrive*>(disk)) {
    serial = drive->Serial;
    if (serial.empty() && drive->DriveNumber() >= 0 && drive->DriveNumber() <= 255)
      serial = Sprintf("Disk %d", drive->DriveNumber());
  }
  lbSerialNumber->setText(Q(serial.empty() ? Message(105) : serial));

  lvVolume->clear();
  struct Row {
    TPartition* partition;
    std::string name;
  };
  std::vector<Row> rows;
  if (auto* device = dynamic_cast<TDevice*>(disk))
    for (std::int32_t i = 0; i < device->PartitionCount(); ++i)
      if (TPartition* partition = device->GetPartition(i)) rows.push_back({partition, partition->GetName(false)});
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    if (a.partition->Metadata != b.partition->Metadata) return !a.partition->Metadata;
    return a.name < b.name;
  });
  for (const Row& row : rows) {
    auto* item = new QTreeWidgetItem(lvVolume);
    item->setText(0, Q(row.name));
    item->setText(1, Q(TDeviceManager::SizeText(row.partition)));
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(0, kStorageRole, QVariant::fromValue(reinterpret_cast<quintptr>(row.partition)));
    if (small_ != nullptr) item->setIcon(0, QIcon(small_->Picture(PictureAndGroup(row.partition).picture)));
    // Added images in red, array members' metadata in grey.
    if (row.partition->UserAdded())
      for (int c = 0; c < 2; ++c) item->setForeground(c, QColor(Qt::red));
    else if (row.partition->Metadata)
      for (int c = 0; c < 2; ++c) item->setForeground(c, QColor(Qt::gray));
  }
}

void TfmDriveProperties::FillRaidPage(TStorage* storage) {
  lvRaidDisks->clear();
  const std::optional<TRaidView> raid = DescribeRaid(storage);
  if (!raid) return;
  if (extraLarge_ != nullptr) Image3->setPixmap(extraLarge_->Picture(PictureAndGroup(raid->device).picture));
  SetFittingText(lbRaidName, Q(raid->name));
  lbDiskCount->setText(QString::number(raid->diskCount));
  SetFittingText(lbRaidType, Q(raid->vendor));
  lbStripeSize->setText(raid->stripeBytes == 0 ? Q(Message(105)) : Q(Bytes(raid->stripeBytes)));
  lbRaidStatus->setText(Q(raid->status));
  for (const TRaidMemberView& member : raid->members) {
    auto* item = new QTreeWidgetItem(lvRaidDisks);
    if (small_ != nullptr) item->setIcon(0, QIcon(small_->Picture(PictureAndGroup(member.disk).picture)));
    item->setData(0, kStorageRole, QVariant::fromValue(reinterpret_cast<quintptr>(member.disk)));
    if (member.disk == nullptr) {
      item->setText(0, Q(Message(105)));
      continue;
    }
    item->setText(0, Q(member.disk->GetName(false)));
    item->setText(1, Q(TDeviceManager::SizeText(member.disk)));
    if (auto* drive = dynamic_cast<THardDrive*>(member.disk)) {
      if (drive->DriveNumber() >= 0 && drive->DriveNumber() <= 255) item->setText(2, QString::number(drive->DriveNumber()));
      item->setText(3, Q(drive->Serial));
    }
    item->setText(4, Q(GroupDigits(static_cast<std::uint64_t>(member.firstSector))));
    item->setText(5, Q(GroupDigits(static_cast<std::uint64_t>(member.sectorCount))));
    for (int c : {1, 4, 5}) item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
  }
}

void TfmDriveProperties::ItemDoubleClicked(QTreeWidgetItem* item) {
  if (TStorage* storage = RowStorage(item)) ShowStorage(storage, small_, extraLarge_, large_);
}

}  // namespace vandrel
