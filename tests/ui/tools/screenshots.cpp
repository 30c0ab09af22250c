// Makes the README's pictures of the windows: vandrel_screenshots OUTDIR
// IMAGE... (run on the offscreen platform by scripts/screenshots).
#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QTimer>
#include <QTreeWidgetItem>
#include <cstdio>
#include <filesystem>
#include <string>

#include "devices/uDeviceManager.h"
#include "mount/Mount2System.h"
#include "ui/settings.h"
#include "ui/qt_prompt.h"
#include "ui/uConnectImg.h"
#include "ui/uDriveProperties.h"
#include "ui/uListViewFunc.h"
#include "ui/uMain.h"

using namespace vandrel;

namespace {

void Save(QWidget& widget, const QString& path) {
  widget.show();
  QApplication::processEvents();
  if (!widget.grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  else std::printf("%s\n", qPrintable(path));
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
