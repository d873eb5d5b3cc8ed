#include "ui/result_actions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QString>
#include <QUrl>

#include "engine/encoding.h"
#include "ui/main_window.h"

namespace tovarin {
namespace {

QString to_qt(const Text& text) { return QString::fromUtf8(gbk_to_utf8(text)); }

}  // namespace

void result_double_clicked(const ResultList& list) {
  const int index = list.selected_index();
  Text address = list.entry_text(index);
  switch (ask_open_or_copy()) {
    case BoxAnswer::yes:
      open_with_shell(address);
      break;
    case BoxAnswer::no:
      set_clipboard_text(address);
      break;
    case BoxAnswer::cancel:
      break;
  }
}

BoxAnswer ask_open_or_copy() {
  QMessageBox box(QMessageBox::Information, QString::fromUtf8("信息："),
                  QString::fromUtf8("是：打开网址，否：复制网址"),
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, nullptr);
  box.setObjectName(QStringLiteral("question_box"));
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Yes);
  // Esc and the close box both answer Cancel.
  box.setEscapeButton(QMessageBox::Cancel);
  box.setWindowModality(Qt::ApplicationModal);
  switch (box.exec()) {
    case QMessageBox::Yes:
      return BoxAnswer::yes;
    case QMessageBox::No:
      return BoxAnswer::no;
    default:
      return BoxAnswer::cancel;
  }
}

void open_with_shell(const Text& address) {
  const QString text = to_qt(address);
  const QUrl url(text, QUrl::TolerantMode);
  // Qt's desktop services hand the desktop's opener the address in its
  // percent-encoded form. When that form is the text itself (a plain ASCII
  // address) they are used. Otherwise (Chinese characters, spaces, an empty
  // text), or where the platform offers no such service (the offscreen
  // platform), the opener gets the text as it stands, so that the same
  // characters arrive that the list shows.
  if (!text.isEmpty() && url.isValid() && QString::fromLatin1(url.toEncoded()) == text &&
      QDesktopServices::openUrl(url)) {
    return;
  }
  QProcess::startDetached(QStringLiteral("xdg-open"), {text});
}

bool set_clipboard_text(const Text& address) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return false;
  auto* data = new QMimeData;
  data->setText(to_qt(address));
  clipboard->setMimeData(data, QClipboard::Clipboard);
  return true;
}

}  // namespace tovarin
