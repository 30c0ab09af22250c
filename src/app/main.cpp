// The desktop program: settings and language first, then the main window.
#include <QApplication>
#include <QGuiApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "common/user_prompt.h"
#include "mount/mount2_system.h"
#include "ui/lng.h"
#include "ui/progress_window.h"
#include "ui/qt_prompt.h"
#include "ui/settings.h"
#include "ui/main.h"

namespace {

// Qt aborts when no display can be opened; say what to do instead.
bool DisplayAvailable() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && *platform != '\0') return true;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

int main(int argc, char** argv) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr,
                 "vandrel: no display available (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                 "Use the command-line tool instead, for example: vandrel-cli list\n"
                 "(vandrel-cli --help lists its commands.)\n");
    return 2;
  }
  QApplication application(argc, argv);
  vandrel::ChooseLanguage();
  vandrel::MountUnitStartup(vandrel::SettingsPath());
  vandrel::TQtPrompt prompt;
  vandrel::SetPrompt(&prompt);
  vandrel::InstallProgressWindowFactory();
  int result = 0;
  {
    vandrel::TfmMain window;
    window.show();
    // vandrel IMAGE...: the images are listed at start.
    QStringList images = QApplication::arguments();
    images.removeFirst();
    if (!images.isEmpty()) QTimer::singleShot(0, &window, [&window, images] { window.AddImages(images); });
    result = QApplication::exec();
  }
  vandrel::StoreLanguage();
  vandrel::MountUnitShutdown();
  vandrel::SetThreadWindowFactory({});
  vandrel::SetPrompt(nullptr);
  return result;
}
