// Makes the README's pictures of the windows: vandrel_screenshots OUTDIR
// IMAGE... (run on the offscreen platform by scripts/screenshots).
#include <QApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QPalette>
#include <QStyleFactory>
#include <QPixmap>
#include <QTimer>
#include <QTreeWidgetItem>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "devices/device_manager.h"
#include "mount/mount2_system.h"
#include "ui/settings.h"
#include "ui/qt_prompt.h"
#include "ui/connect_image.h"
#include "ui/drive_properties.h"
#include "ui/driver_status.h"
#include "ui/list_view_func.h"
#include "ui/main.h"

using namespace vandrel;

namespace {

void Save(QWidget& widget, const QString& path) {
  widget.show();
  QApplication::processEvents();
  if (!widget.grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  else std::printf("%s\n", qPrintable(path));
}

// A dark palette of the kind dark desktop themes hand to Qt programs.
QPalette DarkPalette() {
  QPalette dark;
  const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230);
  dark.setColor(QPalette::Window, window);
  dark.setColor(QPalette::WindowText, text);
  dark.setColor(QPalette::Base, base);
  dark.setColor(QPalette::AlternateBase, window);
  dark.setColor(QPalette::ToolTipBase, QColor(60, 60, 40));
  dark.setColor(QPalette::ToolTipText, text);
  dark.setColor(QPalette::PlaceholderText, QColor(160, 160, 160));
  dark.setColor(QPalette::Text, text);
  dark.setColor(QPalette::Button, window);
  dark.setColor(QPalette::ButtonText, text);
  dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  dark.setColor(QPalette::HighlightedText, Qt::white);
  dark.setColor(QPalette::Link, QColor(110, 170, 255));
  dark.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
  dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
  return dark;
}

}  // namespace

int Draw(int argc, char** argv, const QString& out) {
  TfmMainOptions options;
  options.devices.scanPhysical = false;
  TfmMain window(std::move(options));
  Save(window, out + "/welcome.png");
  for (int i = 2; i < argc; ++i) window.Devices().AddByPath(argv[i]);
  window.btnNextClick();
  // A mount when the build can mount; the letter column shows the choice
  // either way.
  QList<QTreeWidgetItem*> rows = window.lvDisk->Rows();
  TStorage* first = rows.isEmpty() ? nullptr : TGroupedListView::RowStorage(rows.first());
  if (first != nullptr) {
    window.MountOrDismount(first, "M:");
    if (QTreeWidgetItem* row = window.FindRow(first)) window.lvDisk->setCurrentItem(row);
  }
  Save(window, out + "/main-window.png");
  const QPalette light = QApplication::palette();
  QApplication::setPalette(DarkPalette());
  Save(window, out + "/main-window-dark.png");
  // Every page and dialog in the dark palette, to look at (not for the
  // README): VANDREL_DARK_CHECK=FOLDER.
  if (const char* check = std::getenv("VANDREL_DARK_CHECK")) {
    const QString folder = QString::fromLocal8Bit(check);
    window.btnBackClick();
    Save(window, folder + "/dark-welcome.png");
    window.btnNextClick();
    if (first != nullptr) {
      TfmDriveProperties properties(&window, window.Devices());
      properties.ShowStorage(first, &window.Pictures16(), &window.Pictures48(), &window.Pictures32());
      Save(properties, folder + "/dark-properties.png");
    }
    rows = window.lvDisk->Rows();
    if (rows.size() > 1) {
      window.ShowLetterBox(rows.at(1));
      window.cbLetter->showPopup();
      Save(window, folder + "/dark-letter-box.png");
      window.cbLetter->view()->window()->grab().save(folder + "/dark-letter-list.png");
      window.cbLetter->hidePopup();
    }
    TfmDriverStatus driver(&window);
    Save(driver, folder + "/dark-driver.png");
    TfmConnectImage connect(&window);
    Save(connect, folder + "/dark-connect-image.png");
  }
  QApplication::setPalette(light);

  if (first != nullptr) {
    TfmDriveProperties properties(&window, window.Devices());
    properties.ShowStorage(first, &window.Pictures16(), &window.Pictures48(), &window.Pictures32());
    Save(properties, out + "/properties.png");
  }
  for (int i = argc - 1; i >= 2; --i) WriteSetting("KnowImages", std::to_string(argc - 1 - i), argv[i]);
  TfmConnectImage connect(&window);
  connect.cbImageName->setEditText(QString::fromLocal8Bit(argv[2]));
  Save(connect, out + "/connect-image.png");
  window.close();
  return 0;
}

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // The same look on every machine, light or dark.
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  if (argc < 3) {
    std::fprintf(stderr, "usage: vandrel_screenshots OUTDIR IMAGE...\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  SetSettingsPath((out + "/screenshots-rvk.ini").toStdString());
  const std::string mountRoot = "/tmp/vandrel-screenshots-" + std::to_string(QCoreApplication::applicationPid());
  WriteSetting("main", "mount_root", mountRoot);
  MountUnitStartup(SettingsPath());
  const int result = Draw(argc, argv, out);
  MountUnitShutdown();
  std::error_code error;
  std::filesystem::remove_all(mountRoot, error);
  std::remove((out + "/screenshots-rvk.ini").toLocal8Bit().constData());
  return result;
}
