// The look of the scan progress window: a small top-most tool window with
// a status line and a busy bar, centred over its owner. The timing lives
// in TThreadWindow; this view is created and driven through queued calls,
// because Qt windows belong to the user-interface thread.
#pragma once

#include <QPointer>
#include <QWidget>

#include "devices/thread_window.h"

class QLabel;
class QProgressBar;

namespace vandrel {

class TProgressWindowWidget : public QWidget {
  Q_OBJECT

 public:
  TProgressWindowWidget(const QString& text, QWidget* owner);
  void SetText(const QString& text);
  void CentreOverOwner(bool force);

 private:
  QPointer<QWidget> owner_;
  QLabel* status_;
  QProgressBar* progress_;
};

// Installs the factory that gives every TThreadWindow this view.
void InstallProgressWindowFactory();

}  // namespace vandrel
