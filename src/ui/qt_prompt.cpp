#include "ui/qt_prompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

namespace vandrel {
namespace {

bool ShowBox(PromptKind kind, const QString& caption, const QString& text) {
  QWidget* parent = QApplication::activeWindow();
  switch (kind) {
    case PromptKind::kQuestion:
      // Dismounting and closing default to No: an accidental Enter keeps
      // the volumes mounted.
      return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
             QMessageBox::Yes;
    case PromptKind::kConfirmation:
      return QMessageBox::information(parent, caption, text, QMessageBox::Yes | QMessageBox::No,
                                      QMessageBox::No) == QMessageBox::Yes;
    case PromptKind::kWarning:
      return QMessageBox::warning(parent, caption, text) == QMessageBox::Ok;
    case PromptKind::kError:
      QMessageBox::critical(parent, caption, text);
      return true;
    case PromptKind::kInformation:
      QMessageBox::information(parent, caption, text);
      return true;
  }
  return false;
}

}  // namespace

bool TQtPrompt::Show(PromptKind kind, const std::string& caption, const std::string& text) {
  const QString qCaption = QString::fromStdString(caption);
  // Qt breaks lines at the line feed; a carriage return would show.
  const QString qText = QString::fromStdString(text).remove(QChar('\r'));
  if (QThread::currentThread() == qApp->thread()) return ShowBox(kind, qCaption, qText);
  bool answer = false;
  QMetaObject::invokeMethod(
      qApp, [&] { answer = ShowBox(kind, qCaption, qText); }, Qt::BlockingQueuedConnection);
  return answer;
}

}  // namespace vandrel
