// Message boxes for the UserPrompt interface. Questions asked from another
// thread are shown on the user-interface thread and waited for.
#pragma once

#include "common/user_prompt.h"

namespace vandrel {

class TQtPrompt : public UserPrompt {
 public:
  bool Show(PromptKind kind, const std::string& caption, const std::string& text) override;
};

}  // namespace vandrel
