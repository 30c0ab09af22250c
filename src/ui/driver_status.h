// The driver dialog: whether the mounting layer (FUSE) is usable, with
// buttons to install and remove it.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QPushButton;

namespace vandrel {

// The driver operations of the mount service; tests replace them.
struct TDriverFunctions {
  // (out text) -> installed
  std::function<bool(std::string& text)> statusText;
  // (out restart needed, out error text) -> success
  std::function<bool(bool& restart, std::string& error)> install;
  std::function<bool(bool& restart, std::string& error)> uninstall;
  // Why the driver cannot be removed here (a system package); empty when
  // it can.
  std::string uninstallBlocked;
};
TDriverFunctions DefaultDriverFunctions();

class TfmDriverStatus : public QDialog {
  Q_OBJECT

 public:
  explicit TfmDriverStatus(QWidget* parent = nullptr, TDriverFunctions functions = DefaultDriverFunctions());

  void UpdateStatus();
  void btnInstallClick();
  void btnUninstallClick();

  QLabel* lbStatus = nullptr;
  QLabel* lbNote = nullptr;
  QPushButton* btnInstall = nullptr;
  QPushButton* btnUninstall = nullptr;
  QPushButton* btnClose = nullptr;

 private:
  void RunAction(const std::function<bool(bool&, std::string&)>& action);
  void OfferRestart();
  TDriverFunctions functions_;
};

}  // namespace vandrel
