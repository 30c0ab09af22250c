// The dialog that names a disk-image file to open, with the last 20 files.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QComboBox;
class QLabel;
class QPushButton;

namespace vandrel {

inline constexpr int kImageHistorySize = 20;
inline constexpr const char* kImageHistorySection = "KnowImages";

// Puts a file that opened first in the history, unless it is there already.
void RememberImage(const std::string& path);

class TfmConnectImage : public QDialog {
  Q_OBJECT

 public:
  explicit TfmConnectImage(QWidget* parent = nullptr);

  std::string ImageFileName() const;

  void btnBrowseClick();
  void btConnectClick();
  void btHelpClick();
  // The first 20 entries of the list into the settings, in list order.
  void WriteHistory();

  // Asks for a file; empty when cancelled. A file dialog unless replaced.
  std::function<QString(QWidget* parent)> ChooseFile;
  // Opens the chosen file; false with the reason keeps the dialog open
  // and the file out of the history. Unset, every name is taken.
  std::function<bool(const std::string& path, std::string& error)> OpenImage;

  QLabel* lbIntro = nullptr;
  QComboBox* cbImageName = nullptr;
  QPushButton* btnBrowse = nullptr;
  QPushButton* btConnect = nullptr;
  QPushButton* btCancel = nullptr;
  QPushButton* btHelp = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace vandrel
