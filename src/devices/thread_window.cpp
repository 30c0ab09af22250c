#include "devices/thread_window.h"

#include "platform/clock.h"

namespace vandrel {
namespace {

std::mutex gFactoryLock;
ThreadWindowFactory gFactory;

ThreadWindowFactory CurrentFactory() {
  std::lock_guard<std::mutex> guard(gFactoryLock);
  return gFactory;
}

}  // namespace

ThreadWindowFactory SetThreadWindowFactory(ThreadWindowFactory factory) {
  std::lock_guard<std::mutex> guard(gFactoryLock);
  ThreadWindowFactory previous = std::move(gFactory);
  gFactory = std::move(factory);
  return previous;
}

TThreadWindow::TThreadWindow(const std::string& text, void* owner)
    : owner_(owner), startTick_(platform::TickMs()), text_(text) {
  thread_ = std::thread([this] { Run(); });
}

TThreadWindow::~TThreadWindow() { Close(); }

void TThreadWindow::StatusText(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  text_ = text;
  if (view_) view_->SetText(text);
}

std::string TThreadWindow::Text() const {
  std::lock_guard<std::mutex> guard(lock_);
  return text_;
}

void TThreadWindow::Close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    closed_ = true;
  }
  // A window that was seen stays long enough to be read.
  if (visible_.load()) platform::SleepMs(kThreadWindowLingerMs);
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TThreadWindow::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  if (ThreadWindowFactory factory = CurrentFactory()) view_ = factory(text_, owner_);
  std::uint64_t nextCentre = platform::TickMs() + kThreadWindowCentreTimerMs;
  while (!stop_) {
    wake_.wait_for(guard, std::chrono::milliseconds(kThreadWindowShowTimerMs));
    if (stop_) break;
    const std::uint64_t now = platform::TickMs();
    if (delayedShow_ && !visible_.load() && now - startTick_ > static_cast<std::uint64_t>(delay_)) {
      if (view_) view_->Show();
      visible_ = true;
      wasShown_ = true;
    }
    if (now >= nextCentre) {
      nextCentre = now + kThreadWindowCentreTimerMs;
      if (centring_ && visible_.load() && view_) view_->CentreOverOwner();
    }
  }
  if (view_) {
    view_->Destroy();
    view_.reset();
  }
  visible_ = false;
}

}  // namespace vandrel
