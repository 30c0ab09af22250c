// What the desktop program keeps between runs: the settings file "rvk.ini"
// beside the program, and the per-user value store that stands in for the
// registry (~/.config/Tarnwick/Vandrel/registry.ini, one section per key
// path).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vandrel {

// The settings file in use: "rvk.ini" beside the program unless a test
// chose another (empty restores the default).
std::string SettingsPath();
void SetSettingsPath(const std::string& path);

std::string ReadSetting(std::string_view section, std::string_view key, std::string_view fallback);
bool WriteSetting(std::string_view section, std::string_view key, std::string_view value);

// The per-user store; tests point it elsewhere.
std::string RegistryPath();
void SetRegistryPath(const std::string& path);
// Nothing when the value is missing.
std::optional<std::string> ReadUserValue(std::string_view keyPath, std::string_view name);
// Opens the key with creation: the store's folder exists afterwards.
// False when it cannot be created.
bool CreateUserKey();

}  // namespace vandrel
