#include "ui/connect_image.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "common/user_prompt.h"
#include "ui/settings.h"
#include "ui/lng.h"

namespace vandrel {

TfmConnectImage::TfmConnectImage(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmConnectImage"));
  setWindowTitle(QStringLiteral("Mount disk image"));
  QFont font;
  ApplyLanguageFont(font);
  setFont(font);

  lbIntro = new QLabel(QStringLiteral("Please select the image file to mount:"), this);
  lbIntro->setProperty("tag", 10001);
  cbImageName = new QComboBox(this);
  cbImageName->setObjectName(QStringLiteral("cbImageName"));
  cbImageName->setEditable(true);
  cbImageName->setInsertPolicy(QComboBox::NoInsert);
  cbImageName->setMaxVisibleItems(32);
  cbImageName->setMinimumWidth(300);
  cbImageName->lineEdit()->installEventFilter(this);
  btnBrowse = new QPushButton(QStringLiteral("Browse ..."), this);
  btnBrowse->setProperty("tag", 10002);
  btConnect = new QPushButton(QStringLiteral("Mount"), this);
  btConnect->setProperty("tag", 10003);
  btConnect->setDefault(true);
  btCancel = new QPushButton(QStringLiteral("Cancel"), this);
  btCancel->setProperty("tag", 10004);
  btHelp = new QPushButton(QStringLiteral("Help"), this);
  btHelp->setProperty("tag", 10005);

  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(11, 11, 11, 11);
  grid->addWidget(lbIntro, 0, 0, 1, 4);
  grid->addWidget(cbImageName, 1, 0, 1, 3);
  grid->addWidget(btnBrowse, 1, 3);
  grid->setRowMinimumHeight(2, 8);
  grid->setColumnStretch(0, 1);
  grid->addWidget(btConnect, 3, 1);
  grid->addWidget(btCancel, 3, 2);
  grid->addWidget(btHelp, 3, 3);
  setFixedSize(std::max(322, sizeHint().width()), std::max(113, sizeHint().height()));

  connect(btnBrowse, &QPushButton::clicked, this, [this] { btnBrowseClick(); });
  connect(btConnect, &QPushButton::clicked, this, [this] { btConnectClick(); });
  connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(btHelp, &QPushButton::clicked, this, [this] { btHelpClick(); });

  ChooseFile = [](QWidget* owner) {
    return QFileDialog::getOpenFileName(owner, QStringLiteral("Open"), QString(),
                                        QStringLiteral("Disk Image (*.dsk *.img);;All Files (*)"));
  };

  TranslateForm(this);
  for (int i = 0; i < kImageHistorySize; ++i) {
    const std::string path = ReadSetting(kImageHistorySection, std::to_string(i), "");
    if (!path.empty()) cbImageName->addItem(QString::fromStdString(path));
  }
  cbImageName->setCurrentIndex(-1);
  cbImageName->setEditText(QString());
}

std::string TfmConnectImage::ImageFileName() const { return cbImageName->currentText().toStdString(); }

void TfmConnectImage::btnBrowseClick() {
  const QString file = ChooseFile ? ChooseFile(this) : QString();
  if (file.isEmpty()) return;
  cbImageName->setEditText(file);
  btConnect->setFocus();
}

void TfmConnectImage::btConnectClick() {
  QString text = cbImageName->currentText();
  if (text.isEmpty()) {
    btnBrowseClick();
    text = cbImageName->currentText();
    if (text.isEmpty()) return;
  }
  std::string error;
  if (OpenImage && !OpenImage(text.toStdString(), error)) {
    CurrentPrompt().Show(PromptKind::kError, "Error", error);
    cbImageName->setFocus();
    return;
  }
  // A file already in the history keeps its place; a new one goes first.
  if (cbImageName->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) {
    cbImageName->insertItem(0, text);
    cbImageName->setCurrentIndex(0);
  }
  WriteHistory();
  cbImageName->setEditText(text);
  accept();
}

void TfmConnectImage::WriteHistory() {
  const int count = std::min(cbImageName->count(), kImageHistorySize);
  for (int i = 0; i < count; ++i)
    WriteSetting(kImageHistorySection, std::to_string(i), cbImageName->itemText(i).toStdString());
}

void RememberImage(const std::string& path) {
  // The dialog's own rule, over the stored list.
  TfmConnectImage dialog;
  const QString text = QString::fromStdString(path);
  if (dialog.cbImageName->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0) return;
  dialog.cbImageName->insertItem(0, text);
  dialog.WriteHistory();
}

void TfmConnectImage::btHelpClick() {
  CurrentPrompt().Show(PromptKind::kInformation, "Help",
                       "Choose a raw disk image: a byte-for-byte copy of a disk or a partition, such as dd or "
                       "ddrescue make (often named .img or .dsk). Vandrel opens it for reading only and lists "
                       "its volumes in the group \"Disk Images\".\n\nAn image split into several files opens "
                       "as one: base_____*part1.img*part2.img");
}

bool TfmConnectImage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == cbImageName->lineEdit() && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      btConnectClick();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace vandrel
