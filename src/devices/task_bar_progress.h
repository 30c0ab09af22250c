// The busy and progress state of the main window's taskbar entry. Linux
// desktops have no common taskbar progress, so the state is written into
// the window caption ("(*) " while busy, "40% - " with a position).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace vandrel {

// The window whose caption carries the state.
class TCaptionWindow {
 public:
  virtual ~TCaptionWindow() = default;
  virtual std::string Caption() const = 0;
  // May be called from any thread.
  virtual void SetCaption(const std::string& caption) = 0;
};

enum TTaskBarState : std::uint8_t {
  tbsNone = 0, tbsIndeterminate = 1, tbsNormal = 2, tbsError = 3, tbsPaused = 4,
};

// The taskbar-list flag of a state (0, 1, 2, 4, 8).
std::uint32_t TaskBarFlag(std::uint8_t state);

class TTaskBarProgress {
 public:
  explicit TTaskBarProgress(TCaptionWindow* form) : form_(form) {}
  virtual ~TTaskBarProgress() = default;
  TTaskBarProgress(const TTaskBarProgress&) = delete;
  TTaskBarProgress& operator=(const TTaskBarProgress&) = delete;

  virtual void SetState(std::uint8_t state);
  virtual void SetProgress(std::int32_t position, std::int32_t maximum);
  virtual void Initialise() = 0;
  virtual void ApplyState(std::uint8_t state) = 0;
  virtual void ApplyProgress(std::int32_t position, std::int32_t maximum) = 0;
  virtual void SetBusy();

  void SetMaximum(std::int32_t value);
  void Reset();
  TCaptionWindow* Form() const { return form_; }

  std::uint8_t State() const { return state_; }
  std::int32_t Position() const { return position_; }
  std::int32_t Maximum() const { return maximum_; }

 protected:
  std::recursive_mutex lock_;
  std::int32_t maximum_ = 100;
  std::uint8_t state_ = tbsNone;
  std::int32_t position_ = -1;
  TCaptionWindow* form_;
};

// The caption variant.
class TXpTaskBarProgress : public TTaskBarProgress {
 public:
  // Sets the maximum 100, the position -1 and saves the caption.
  explicit TXpTaskBarProgress(TCaptionWindow* form);

  void Initialise() override;
  void ApplyState(std::uint8_t state) override;
  void ApplyProgress(std::int32_t position, std::int32_t maximum) override;
  void SetBusy() override;

 private:
  std::string savedCaption_;
  bool busy_ = false;
};

// The main window's object, reached by the device manager's scans; may be
// nothing (command-line tool, tests).
TTaskBarProgress* MainTaskBarProgress();
void SetMainTaskBarProgress(TTaskBarProgress* progress);

}  // namespace vandrel
