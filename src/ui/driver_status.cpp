#include "ui/driver_status.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "common/user_prompt.h"
#include "ui/driver_link.h"

namespace vandrel {

TDriverFunctions DefaultDriverFunctions() {
  TDriverFunctions functions;
  functions.statusText = [](std::string& text) { return DriverStatusTextLink(text); };
  functions.install = [](bool& restart, std::string& error) { return InstallDriverLink(restart, error); };
  functions.uninstall = [](bool& restart, std::string& error) { return UninstallDriverLink(restart, error); };
  functions.uninstallBlocked =
      "FUSE belongs to the system (the fuse3 package): remove that package with the system's package manager "
      "to uninstall it.";
  return functions;
}

TfmDriverStatus::TfmDriverStatus(QWidget* parent, TDriverFunctions functions)
    : QDialog(parent), functions_(std::move(functions)) {
  setObjectName(QStringLiteral("fmDriverStatus"));
  setWindowTitle(QStringLiteral("Driver Status"));
  auto* caption = new QLabel(QStringLiteral("Driver status: "), this);
  lbStatus = new QLabel(this);
  lbStatus->setObjectName(QStringLiteral("lbStatus"));
  lbStatus->setWordWrap(true);
  lbStatus->setMinimumSize(198, 41);
  lbStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lbNote = new QLabel(this);
  lbNote->setObjectName(QStringLiteral("lbNote"));
  lbNote->setWordWrap(true);
  lbNote->setForegroundRole(QPalette::PlaceholderText);
  lbNote->hide();
  btnInstall = new QPushButton(QStringLiteral("Install"), this);
  btnUninstall = new QPushButton(QStringLiteral("Uninstall"), this);
  btnClose = new QPushButton(QStringLiteral("Close"), this);
  btnClose->setDefault(true);
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(14, 14, 14, 12);
  grid->addWidget(caption, 0, 0, Qt::AlignTop);
  grid->addWidget(lbStatus, 0, 1, 1, 2);
  grid->addWidget(lbNote, 1, 0, 1, 3);
  grid->setRowStretch(2, 1);
  grid->addWidget(btnInstall, 3, 0);
  grid->addWidget(btnUninstall, 3, 1);
  grid->addWidget(btnClose, 3, 2);
  lbNote->setText(QString::fromStdString(functions_.uninstallBlocked));
  setFixedSize(std::max(289, sizeHint().width()), std::max(142, sizeHint().height()));
  connect(btnInstall, &QPushButton::clicked, this, [this] { btnInstallClick(); });
  connect(btnUninstall, &QPushButton::clicked, this, [this] { btnUninstallClick(); });
  connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);
  UpdateStatus();
}

void TfmDriverStatus::UpdateStatus() {
  std::string text;
  bool installed = false;
  try {
    installed = functions_.statusText && functions_.statusText(text);
  } catch (const std::exception& error) {
    CurrentPrompt().Show(PromptKind::kError, "Error", error.what());
  }
  if (!installed && text.empty()) text = "Driver not installed";
  btnUninstall->setEnabled(installed && functions_.uninstallBlocked.empty());
  btnInstall->setEnabled(!installed);
  btnUninstall->setToolTip(QString::fromStdString(functions_.uninstallBlocked));
  lbNote->setVisible(installed && !functions_.uninstallBlocked.empty());
  lbStatus->setText(QString::fromStdString(text).remove(QChar('\r')));
}

void TfmDriverStatus::RunAction(const std::function<bool(bool&, std::string&)>& action) {
  bool restart = false;
  std::string error;
  if (!action || !action(restart, error))
    CurrentPrompt().Show(PromptKind::kError, "Error", error);
  else if (restart)
    OfferRestart();
  UpdateStatus();
}

void TfmDriverStatus::btnInstallClick() { RunAction(functions_.install); }
void TfmDriverStatus::btnUninstallClick() { RunAction(functions_.uninstall); }

void TfmDriverStatus::OfferRestart() {
  // FUSE never needs a restart, and this program restarts no computer: the
  // restart question has no place here.
}

}  // namespace vandrel
