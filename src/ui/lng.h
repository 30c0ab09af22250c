// Language files: "lng/*.lng" beside the program translate the connect-image
// dialog and the properties window and may choose their font. The user's
// language id is the per-user value "Lng"; the settings file remembers
// which file was chosen.
#pragma once

#include <string>

class QFont;
class QWidget;

namespace vandrel {

inline constexpr const char* kRegistryKey = "SOFTWARE\\Tarnwick\\Vandrel";
// Controls whose "tag" property is above this take their text from key
// (tag - 10000) of their window's section.
inline constexpr int kTranslationTagBase = 10000;

// Full path of the language file in use, "-1" or empty.
const std::string& CurrentLanguageFile();
void SetCurrentLanguageFile(const std::string& path);

// Start-up: the settings value "Main"/"Lng", else the file whose LngID is
// the user's language id.
void ChooseLanguage();
// Exit: the file name of the current language file into "Main"/"Lng".
void StoreLanguage();

// "\n" becomes a line feed and a carriage return, "|" a tab.
std::string UnescapeLanguageText(const std::string& text);

// The window font: the system font, one point larger with large system
// fonts, and the language file's face when it names one.
void ApplyLanguageFont(QFont& font);
// Large-font scaling, then the caption (key "0"), the texts (key n) and
// hints (key "hn") of the tagged controls from the window's section, named
// after the window's object name.
void TranslateForm(QWidget* form);

}  // namespace vandrel
