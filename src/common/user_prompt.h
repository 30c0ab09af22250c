// Questions and notices for the user. The desktop program shows them as
// message boxes; the command-line tool prints them; tests answer them.
#pragma once

#include <memory>
#include <string>

namespace vandrel {

enum class PromptKind { kError, kWarning, kQuestion, kConfirmation, kInformation };

class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  // Shows `text` under `caption`; for questions answers yes (true) or no.
  virtual bool Show(PromptKind kind, const std::string& caption, const std::string& text) = 0;
};

// The prompt in use; by default notices go to stderr and questions are
// answered no.
UserPrompt& CurrentPrompt();
// Installs a prompt (nullptr restores the default); answers the previous one.
UserPrompt* SetPrompt(UserPrompt* prompt);

}  // namespace vandrel
