// The small progress window of a long scan. Its timing (the delayed show,
// the centring over the owner, the linger before it closes) runs on a
// thread of its own, so the window appears and follows its owner whatever
// the thread doing the work is busy with. What the window looks like
// belongs to the desktop program, which installs a view factory; without
// one the window is invisible but keeps the same timing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vandrel {

// The visible part, as the desktop program draws it. Every call comes from
// the window's own thread except SetText, which may come from any thread.
class TThreadWindowView {
 public:
  virtual ~TThreadWindowView() = default;
  virtual void SetText(const std::string& text) = 0;
  // Centred over the owner, then shown.
  virtual void Show() = 0;
  virtual void CentreOverOwner() = 0;
  // Hidden and released; the view is destroyed right after.
  virtual void Destroy() = 0;
};

// (status text, owner window) -> view; the owner is the program's opaque
// window handle.
using ThreadWindowFactory = std::function<std::unique_ptr<TThreadWindowView>(const std::string& text, void* owner)>;
// Installs the factory (empty: no visible window); answers the previous one.
ThreadWindowFactory SetThreadWindowFactory(ThreadWindowFactory factory);

inline constexpr std::int32_t kThreadWindowDelayMs = 300;
inline constexpr std::int32_t kThreadWindowLingerMs = 700;
inline constexpr std::int32_t kThreadWindowShowTimerMs = 50;
inline constexpr std::int32_t kThreadWindowCentreTimerMs = 100;

class TThreadWindow {
 public:
  // Starts the window's thread at once; the window stays hidden for the
  // first `Delay` milliseconds.
  TThreadWindow(const std::string& text, void* owner);
  virtual ~TThreadWindow();
  TThreadWindow(const TThreadWindow&) = delete;
  TThreadWindow& operator=(const TThreadWindow&) = delete;

  // Called by the working thread.
  void StatusText(const std::string& text);
  // A shown window stays another 700 ms; then the thread ends.
  void Close();

  std::string Text() const;
  bool Visible() const { return visible_.load(); }
  // Whether the window was shown at any time.
  bool WasShown() const { return wasShown_.load(); }

 private:
  void Run();

  void* owner_;
  const std::int32_t delay_ = kThreadWindowDelayMs;
  const bool centring_ = true;
  const bool delayedShow_ = true;
  const std::uint64_t startTick_;

  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::string text_;
  bool stop_ = false;
  bool closed_ = false;
  std::atomic<bool> visible_{false};
  std::atomic<bool> wasShown_{false};
  std::unique_ptr<TThreadWindowView> view_;
  std::thread thread_;
};

// The progress window of an enumeration.
class TDeviceEnumWindow : public TThreadWindow {
 public:
  using TThreadWindow::TThreadWindow;
};

}  // namespace vandrel
