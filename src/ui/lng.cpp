#include "ui/lng.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QWidget>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/settings.h"
#include "ui/settings.h"

namespace vandrel {
namespace {

std::string gLanguageFile = "-1";

bool LanguageFileExists() {
  std::error_code error;
  return !gLanguageFile.empty() && gLanguageFile != "-1" && std::filesystem::is_regular_file(gLanguageFile, error);
}

// The height of the message font as the system reports it: a negative
// pixel height.
int MessageFontHeight() {
  const int pixels = QFontInfo(QApplication::font()).pixelSize();
  return pixels > 0 ? -pixels : -11;
}

std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LanguageFolder() { return platform::ProgramFolder() + "/lng/"; }

// The language id of the user: "1033" when the store cannot be reached,
// empty when it holds no value.
std::string UserLanguageId() {
  if (auto value = ReadUserValue(kRegistryKey, "Lng")) return *value;
  return CreateUserKey() ? std::string() : std::string("1033");
}

}  // namespace

const std::string& CurrentLanguageFile() { return gLanguageFile; }
void SetCurrentLanguageFile(const std::string& path) { gLanguageFile = path; }

void ChooseLanguage() {
  const std::string chosen = ReadSetting("Main", "Lng", "-1");
  if (chosen != "-1") {
    gLanguageFile = LanguageFolder() + chosen;
    return;
  }
  gLanguageFile = "-1";
  const std::string id = UserLanguageId();
  if (id.empty()) {
    gLanguageFile.clear();
    return;
  }
  // The program's own folder is searched (not the current directory), so
  // the file found is the one that is then opened.
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(LanguageFolder(), error))
    if (item.path().extension() == ".lng") names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    if (platform::TIniFile(LanguageFolder() + name).ReadString("fileinfo", "LngID", "") == id) {
      gLanguageFile = LanguageFolder() + name;
      WriteSetting("main", "lng", name);
      return;
    }
  }
}

void StoreLanguage() {
  WriteSetting("Main", "Lng", FileNamePart(gLanguageFile));
}

std::string UnescapeLanguageText(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      result += "\n\r";
      ++i;
    } else if (text[i] == '|') {
      result += '\t';
    } else {
      result += text[i];
    }
  }
  return result;
}

void ApplyLanguageFont(QFont& font) {
  font = QApplication::font();
  if (MessageFontHeight() < -15) font.setPointSizeF(font.pointSizeF() + 1);
  if (!LanguageFileExists()) return;
  const std::string face =
      platform::TIniFile(gLanguageFile).ReadString("fileinfo", "font", font.family().toStdString());
  if (!face.empty()) font.setFamily(QString::fromStdString(face));
  // "charset" picks a code page on systems without Unicode fonts; text here
  // is UTF-8, so the value is not used.
}

void TranslateForm(QWidget* form) {
  if (form == nullptr) return;
  const int height = MessageFontHeight();
  const double scale = height < -15 ? 1.30 : (height < -12 ? 1.15 : 1.0);
  if (scale != 1.0) form->resize(static_cast<int>(form->width() * scale), static_cast<int>(form->height() * scale));
  if (!LanguageFileExists()) return;
  const platform::TIniFile file(gLanguageFile);
  const std::string section = form->objectName().toStdString();
  const std::vector<std::string> keys = file.ReadSection(section);
  auto text = [&](const std::string& key, const QString& fallback) {
    const bool present = std::any_of(keys.begin(), keys.end(), [&](const std::string& name) {
      return QString::fromStdString(name).compare(QString::fromStdString(key), Qt::CaseInsensitive) == 0;
    });
    if (!present) return fallback;
    // Qt breaks lines at the line feed alone; a carriage return would show.
    return QString::fromStdString(UnescapeLanguageText(file.ReadString(section, key, ""))).remove(QChar('\r'));
  };
  form->setWindowTitle(text("0", form->windowTitle()));
  for (QWidget* child : form->findChildren<QWidget*>()) {
    const int tag = child->property("tag").toInt();
    if (tag <= kTranslationTagBase) continue;
    const std::string n = std::to_string(tag - kTranslationTagBase);
    if (auto* label = qobject_cast<QLabel*>(child)) {
      label->setText(text(n, label->text()));
    } else if (auto* button = qobject_cast<QAbstractButton*>(child)) {
      button->setText(text(n, button->text()));
    } else if (auto* group = qobject_cast<QGroupBox*>(child)) {
      group->setTitle(text(n, group->title()));
    } else if (auto* edit = qobject_cast<QLineEdit*>(child)) {
      edit->setText(text(n, edit->text()));
    } else if (auto* tabs = qobject_cast<QTabWidget*>(child->parentWidget() ? child->parentWidget()->parentWidget() : nullptr)) {
      // A tab page: its caption is the tab's text.
      const int index = tabs->indexOf(child);
      if (index >= 0) tabs->setTabText(index, text(n, tabs->tabText(index)));
    }
    child->setToolTip(text("h" + n, QString()));
  }
}

}  // namespace vandrel
