// The scan progress window's timing and the caption variant of the
// taskbar progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "devices/task_bar_progress.h"
#include "devices/thread_window.h"
#include "platform/clock.h"

namespace vandrel {
namespace {

struct ViewLog {
  std::mutex lock;
  std::vector<std::string> calls;
  std::uint64_t shownAt = 0;
  void Add(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(call);
    if (call == "show") shownAt = platform::TickMs();
  }
  int Count(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }
};

class RecordingView : public TThreadWindowView {
 public:
  explicit RecordingView(ViewLog& log) : log_(log) {}
  void SetText(const std::string& text) override { log_.Add("text:" + text); }
  void Show() override { log_.Add("show"); }
  void CentreOverOwner() override { log_.Add("centre"); }
  void Destroy() override { log_.Add("destroy"); }

 private:
  ViewLog& log_;
};

class ThreadWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetThreadWindowFactory([this](const std::string& text, void*) -> std::unique_ptr<TThreadWindowView> {
      log_.Add("text:" + text);  // the view starts with the current text
      return std::make_unique<RecordingView>(log_);
    });
  }
  void TearDown() override { SetThreadWindowFactory(previous_); }
  ViewLog log_;
  ThreadWindowFactory previous_;
};

TEST_F(ThreadWindowTest, ShortWorkNeverShowsTheWindowAndClosesAtOnce) {
  TDeviceEnumWindow window("Searching", nullptr);
  platform::SleepMs(100);
  const std::uint64_t closing = platform::TickMs();
  window.Close();
  EXPECT_LT(platform::TickMs() - closing, 600u);
  EXPECT_FALSE(window.WasShown());
  EXPECT_EQ(log_.Count("show"), 0);
  EXPECT_EQ(log_.Count("destroy"), 1);
}

TEST_F(ThreadWindowTest, LongWorkShowsAfterTheDelayFollowsTheOwnerAndLingers) {
  const std::uint64_t start = platform::TickMs();
  TDeviceEnumWindow window("Searching", nullptr);
  window.StatusText("Disk 1");
  platform::SleepMs(900);
  ASSERT_TRUE(window.Visible());
  EXPECT_EQ(log_.Count("show"), 1);
  EXPECT_GE(log_.shownAt - start, 300u);
  // Generous upper bounds: the machine may be busy.
  EXPECT_LT(log_.shownAt - start, 800u);
  EXPECT_GE(log_.Count("centre"), 1);  // every 100 ms while shown
  // The view learns the new text, either at its creation or afterwards.
  EXPECT_EQ(log_.Count("text:Disk 1"), 1);
  const std::uint64_t closing = platform::TickMs();
  window.Close();
  EXPECT_GE(platform::TickMs() - closing, 700u);
  EXPECT_FALSE(window.Visible());
  EXPECT_EQ(log_.Count("destroy"), 1);
  window.Close();  // a second close does nothing
  EXPECT_EQ(log_.Count("destroy"), 1);
}

TEST(ThreadWindowWithoutView, KeepsItsTimingWithNothingToShow) {
  const ThreadWindowFactory previous = SetThreadWindowFactory({});
  {
    TThreadWindow window("x", nullptr);
    platform::SleepMs(400);
    EXPECT_TRUE(window.WasShown());
  }
  SetThreadWindowFactory(previous);
}

class CaptionWindow : public TCaptionWindow {
 public:
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& text) override { caption = text; }
  std::string caption = "Vandrel 0.1";
};

TEST(CaptionTaskBarProgress, BusyPositionPausedAndResetRestoreTheCaption) {
  CaptionWindow form;
  TXpTaskBarProgress progress(&form);
  EXPECT_EQ(progress.Maximum(), 100);
  EXPECT_EQ(progress.Position(), -1);
  progress.SetBusy();
  EXPECT_EQ(form.caption, "(*) Vandrel 0.1");
  progress.Reset();
  EXPECT_EQ(form.caption, "Vandrel 0.1");
  progress.SetProgress(40, 100);
  EXPECT_EQ(form.caption, "40% - Vandrel 0.1");
  progress.SetState(tbsPaused);
  EXPECT_EQ(form.caption, "(Paused) Vandrel 0.1");
  progress.SetState(tbsError);  // leaves the caption
  EXPECT_EQ(form.caption, "(Paused) Vandrel 0.1");
  progress.Reset();
  EXPECT_EQ(form.caption, "Vandrel 0.1");
}

TEST(CaptionTaskBarProgress, WithoutAWindowDoesNothing) {
  TXpTaskBarProgress progress(nullptr);
  progress.SetBusy();
  progress.SetProgress(10, 100);
  progress.Reset();
  EXPECT_EQ(progress.State(), tbsNone);
  EXPECT_EQ(TaskBarFlag(tbsPaused), 8u);
  EXPECT_EQ(TaskBarFlag(tbsError), 4u);
}

}  // namespace
}  // namespace vandrel
