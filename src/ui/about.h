// The About box: the logo, the product name and its version.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace vandrel {

class TfmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TfmAbout(QWidget* parent = nullptr);

  QLabel* imgIcon = nullptr;
  QLabel* lbProductName = nullptr;
  QPushButton* btOk = nullptr;
};

}  // namespace vandrel
