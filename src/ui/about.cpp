#include "ui/about.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/icon_index_and_group.h"
#include "ui/product_name.h"

namespace vandrel {

TfmAbout::TfmAbout(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmAbout"));
  setWindowTitle(QStringLiteral("About"));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);

  imgIcon = new QLabel(this);
  imgIcon->setPixmap(RenderPicture("logo", 200, 48));
  imgIcon->setAlignment(Qt::AlignCenter);
  lbProductName = new QLabel(QString::fromStdString(ProductCaption()), this);
  QFont bold = lbProductName->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() + 2);
  lbProductName->setFont(bold);
  lbProductName->setAlignment(Qt::AlignCenter);
  auto* about = new QLabel(
      QStringLiteral("Reads disks, disk images, RAID sets and dynamic disks,\n"
                     "and mounts their volumes read-only.\nIt never writes to any disk."),
      this);
  about->setAlignment(Qt::AlignCenter);
  btOk = new QPushButton(QStringLiteral("&Ok"), this);
  btOk->setDefault(true);
  connect(btOk, &QPushButton::clicked, this, &QDialog::accept);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 18, 24, 14);
  column->setSpacing(10);
  column->addWidget(imgIcon);
  column->addWidget(lbProductName);
  column->addWidget(about);
  column->addWidget(btOk, 0, Qt::AlignCenter);
  setFixedSize(sizeHint());
}

}  // namespace vandrel
