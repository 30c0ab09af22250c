#include "ui/settings.h"

#include <filesystem>
#include <mutex>

#include "platform/settings.h"

namespace vandrel {
namespace {

std::mutex gLock;
std::string gSettingsPath;
std::string gRegistryPath;

}  // namespace

std::string SettingsPath() {
  std::lock_guard<std::mutex> guard(gLock);
  return gSettingsPath.empty() ? platform::SettingsFilePath() : gSettingsPath;
}

void SetSettingsPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(gLock);
  gSettingsPath = path;
}

std::string ReadSetting(std::string_view section, std::string_view key, std::string_view fallback) {
  return platform::TIniFile(SettingsPath()).ReadString(section, key, fallback);
}

bool WriteSetting(std::string_view section, std::string_view key, std::string_view value) {
  return platform::TIniFile(SettingsPath()).WriteString(section, key, value);
}

std::string RegistryPath() {
  std::lock_guard<std::mutex> guard(gLock);
  return gRegistryPath.empty() ? platform::HomeFolder() + "/.config/Tarnwick/Vandrel/registry.ini" : gRegistryPath;
}

void SetRegistryPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(gLock);
  gRegistryPath = path;
}

std::optional<std::string> ReadUserValue(std::string_view keyPath, std::string_view name) {
  return platform::TIniFile(RegistryPath()).Find(keyPath, name);
}

bool CreateUserKey() {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::path(RegistryPath()).parent_path();
  std::filesystem::create_directories(folder, error);
  return std::filesystem::is_directory(folder, error);
}

}  // namespace vandrel
