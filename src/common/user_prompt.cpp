#include "common/user_prompt.h"

#include <atomic>
#include <cstdio>

namespace vandrel {
namespace {

class StderrPrompt : public UserPrompt {
 public:
  bool Show(PromptKind kind, const std::string& caption, const std::string& text) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return kind != PromptKind::kQuestion && kind != PromptKind::kConfirmation;
  }
};

StderrPrompt gDefault;
std::atomic<UserPrompt*> gCurrent{nullptr};

}  // namespace

UserPrompt& CurrentPrompt() {
  UserPrompt* prompt = gCurrent.load();
  return prompt != nullptr ? *prompt : gDefault;
}

UserPrompt* SetPrompt(UserPrompt* prompt) { return gCurrent.exchange(prompt); }

}  // namespace vandrel
