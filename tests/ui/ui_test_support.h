// Helpers of the window tests: a prompt that records and answers, a mount
// service stand-in, and a temporary settings file.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "common/user_prompt.h"
#include "ui/mount_link.h"
#include "ui/settings.h"
#include "ui/main.h"

namespace vandrel::test {

class RecordingPrompt : public UserPrompt {
 public:
  RecordingPrompt() { previous_ = SetPrompt(this); }
  ~RecordingPrompt() override { SetPrompt(previous_); }
  bool Show(PromptKind kind, const std::string& caption, const std::string& text) override {
    shown.push_back({kind, caption, text});
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  struct Entry {
    PromptKind kind;
    std::string caption;
    std::string text;
  };
  std::vector<Entry> shown;
  std::deque<bool> answers;

 private:
  UserPrompt* previous_ = nullptr;
};

// A mount service that mounts nothing but remembers what it was asked.
class FakeMountProvider : public TMountProvider {
 public:
  class Link : public TMountLink {
   public:
    Link(TStorage* storage, std::string point, int* finished) : storage_(storage), point_(std::move(point)), finished_(finished) {}
    TStorage* Storage() const override { return storage_; }
    std::string MountPoint() const override { return point_; }
    std::string Folder() const override { return "/nonexistent/" + point_.substr(0, 1); }
    void Finish() override { ++*finished_; }

   private:
    TStorage* storage_;
    std::string point_;
    int* finished_;
  };
  std::unique_ptr<TMountLink> Mount(TStorage* storage, TDeviceManager&, const std::string& letter,
                                    std::string& error) override {
    requests.push_back(letter);
    if (!failWith.empty()) {
      error = failWith;
      return nullptr;
    }
    return std::make_unique<Link>(storage, letter, finished);
  }
  std::string UsedLetters() override { return *used; }

  std::string* used;
  int* finished;
  std::vector<std::string> requests;
  std::string failWith;
};

// A main window's options over image files only, with the stand-in mount
// service unless real mounts are wanted.
inline TfmMainOptions ImagesOnly(bool fakeMounts, std::string& used, int& finished, FakeMountProvider*& fake) {
  TfmMainOptions options;
  options.devices.scanPhysical = false;
  if (fakeMounts) {
    auto provider = std::make_unique<FakeMountProvider>();
    provider->used = &used;
    provider->finished = &finished;
    fake = provider.get();
    options.mounts = std::move(provider);
  }
  return options;
}

// A settings file and a user store of the test's own, removed afterwards.
class ScopedSettings {
 public:
  ScopedSettings() {
    folder_ = std::filesystem::temp_directory_path() /
              ("vandrel-ui-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(folder_);
    SetSettingsPath((folder_ / "rvk.ini").string());
    SetRegistryPath((folder_ / "config" / "registry.ini").string());
  }
  ~ScopedSettings() {
    SetSettingsPath({});
    SetRegistryPath({});
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }
  std::filesystem::path Folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  static inline int counter_ = 0;
};

}  // namespace vandrel::test
