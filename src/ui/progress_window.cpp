#include "ui/progress_window.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>

namespace vandrel {
namespace {

class TQtThreadWindowView : public TThreadWindowView {
 public:
  TQtThreadWindowView(const std::string& text, void* owner) {
    auto* ownerWidget = static_cast<QWidget*>(owner);
    const QString qText = QString::fromStdString(text);
    Post([widget = widget_, qText, ownerWidget] { *widget = new TProgressWindowWidget(qText, ownerWidget); });
  }

  // Every call is queued to the user-interface thread and may run after
  // this object is gone; the lambdas share the widget pointer instead.
  void SetText(const std::string& text) override {
    Post([widget = widget_, qText = QString::fromStdString(text)] {
      if (*widget) (*widget)->SetText(qText);
    });
  }
  void Show() override {
    Post([widget = widget_] {
      if (!*widget) return;
      (*widget)->CentreOverOwner(true);
      (*widget)->show();
    });
  }
  void CentreOverOwner() override {
    Post([widget = widget_] {
      if (*widget) (*widget)->CentreOverOwner(false);
    });
  }
  void Destroy() override {
    Post([widget = widget_] {
      if (*widget) (*widget)->deleteLater();
    });
  }

 private:
  template <typename F>
  static void Post(F&& function) {
    QMetaObject::invokeMethod(qApp, std::forward<F>(function), Qt::QueuedConnection);
  }

  std::shared_ptr<QPointer<TProgressWindowWidget>> widget_ = std::make_shared<QPointer<TProgressWindowWidget>>();
};

}  // namespace

TProgressWindowWidget::TProgressWindowWidget(const QString& text, QWidget* owner)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus), owner_(owner) {
  setObjectName(QStringLiteral("TThreadWindow"));
  setWindowTitle(QStringLiteral("Cancel Window"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFixedSize(381, 78);
  status_ = new QLabel(text, this);
  status_->setGeometry(10, 6, 360, 26);
  progress_ = new QProgressBar(this);
  progress_->setGeometry(10, 38, 354, 25);
  progress_->setRange(0, 0);  // busy bar
  progress_->setTextVisible(false);
  CentreOverOwner(true);
}

void TProgressWindowWidget::SetText(const QString& text) { status_->setText(text); }

void TProgressWindowWidget::CentreOverOwner(bool force) {
  if (!owner_ || !(force || isVisible())) return;
  const QRect frame = owner_->frameGeometry();
  move(frame.left() + (frame.width() - width()) / 2, frame.top() + (frame.height() - height()) / 2);
}

void InstallProgressWindowFactory() {
  SetThreadWindowFactory([](const std::string& text, void* owner) -> std::unique_ptr<TThreadWindowView> {
    return std::make_unique<TQtThreadWindowView>(text, owner);
  });
}

}  // namespace vandrel
