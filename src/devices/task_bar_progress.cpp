#include "devices/task_bar_progress.h"

#include <atomic>

#include "common/func.h"

namespace vandrel {
namespace {

std::atomic<TTaskBarProgress*> gMain{nullptr};

}  // namespace

std::uint32_t TaskBarFlag(std::uint8_t state) {
  switch (state) {
    case tbsIndeterminate: return 1;
    case tbsNormal: return 2;
    case tbsError: return 4;
    case tbsPaused: return 8;
    default: return 0;
  }
}

void TTaskBarProgress::SetState(std::uint8_t state) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state == state_) return;
  state_ = state;
  ApplyState(state);
}

void TTaskBarProgress::SetProgress(std::int32_t position, std::int32_t maximum) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (position == position_ && maximum == maximum_) return;
  position_ = position;
  maximum_ = maximum;
  ApplyProgress(position, maximum);
}

void TTaskBarProgress::SetBusy() { SetState(tbsIndeterminate); }

void TTaskBarProgress::SetMaximum(std::int32_t value) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (value == maximum_) return;
  maximum_ = value;
  SetProgress(position_, value);
}

void TTaskBarProgress::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  position_ = -1;
  SetState(tbsNone);
}

TXpTaskBarProgress::TXpTaskBarProgress(TCaptionWindow* form) : TTaskBarProgress(form) {
  maximum_ = 100;
  position_ = -1;
  Initialise();
}

void TXpTaskBarProgress::Initialise() {
  if (form_ != nullptr) savedCaption_ = form_->Caption();
}

void TXpTaskBarProgress::SetBusy() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  busy_ = true;
  SetState(tbsIndeterminate);
}

void TXpTaskBarProgress::ApplyState(std::uint8_t state) {
  if (form_ == nullptr || savedCaption_.empty()) return;
  switch (state) {
    case tbsNone:
      busy_ = false;
      form_->SetCaption(savedCaption_);
      break;
    case tbsIndeterminate:
      if (busy_) form_->SetCaption("(*) " + savedCaption_);
      break;
    case tbsNormal:
      ApplyProgress(position_, maximum_);
      break;
    case tbsPaused:
      form_->SetCaption("(Paused) " + savedCaption_);
      break;
    default:
      break;
  }
}

void TXpTaskBarProgress::ApplyProgress(std::int32_t position, std::int32_t /*maximum*/) {
  if (form_ == nullptr || savedCaption_.empty() || position == -1) return;
  form_->SetCaption(Sprintf("%d%s - %s", position, "%", savedCaption_.c_str()));
}

TTaskBarProgress* MainTaskBarProgress() { return gMain.load(); }
void SetMainTaskBarProgress(TTaskBarProgress* progress) { gMain.store(progress); }

}  // namespace vandrel
