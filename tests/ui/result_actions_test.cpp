// The result-list actions with the real question box, Qt's clipboard and the
// desktop's opener (a stand-in xdg-open first on PATH that records what it
// was given).

#include "ui/result_actions.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/encoding.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_helpers.h"
#include "ui/main_window.h"

namespace tovarin {
namespace {

using test::pump_until;
using test::settle;
using test::show_and_activate;

QString u(const char* utf8) { return QString::fromUtf8(utf8); }

// What the question box looked like when it came up.
struct SeenBox {
  bool shown = false;
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton default_button = QMessageBox::NoButton;
  bool has_parent = true;
  Qt::WindowModality modality = Qt::NonModal;
  int list_count = -1;  // entries of the watched list while it was open
};

// Waits (bounded) for the question box to come up, records it, then closes
// it with `answer`.
void answer_box(SeenBox* seen, std::function<void(QMessageBox*)> answer,
                const QListWidget* watched = nullptr) {
  // The timer owns the polling function and goes with it.
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, timer, [=, tries = 0]() mutable {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
      if (++tries >= 1000) timer->deleteLater();
      return;
    }
    timer->stop();
    timer->deleteLater();
    seen->shown = true;
    seen->title = box->windowTitle();
    seen->text = box->text();
    seen->icon = box->icon();
    seen->buttons = box->standardButtons();
    seen->default_button = box->standardButton(box->defaultButton());
    seen->has_parent = box->parentWidget() != nullptr;
    seen->modality = box->windowModality();
    if (watched != nullptr) seen->list_count = watched->count();
    answer(box);
  });
  timer->start(5);
}

std::function<void(QMessageBox*)> click_button(QMessageBox::StandardButton which) {
  return [which](QMessageBox* box) { box->button(which)->click(); };
}
void press_esc(QMessageBox* box) { test::press_key(Qt::Key_Escape, Qt::NoModifier, box); }
void close_box(QMessageBox* box) { box->close(); }

TEST(QuestionBox, ShowsTheQuestionAndReportsHowItWasClosed) {
  struct Case {
    const char* how;
    std::function<void(QMessageBox*)> answer;
    BoxAnswer expected;
  };
  const Case cases[] = {
      {"Yes", click_button(QMessageBox::Yes), BoxAnswer::yes},
      {"No", click_button(QMessageBox::No), BoxAnswer::no},
      {"Cancel", click_button(QMessageBox::Cancel), BoxAnswer::cancel},
      {"Esc", press_esc, BoxAnswer::cancel},
      {"close box", close_box, BoxAnswer::cancel},
      {"Enter on the default button", [](QMessageBox* box) {
         test::press_key(Qt::Key_Return, Qt::NoModifier, box->focusWidget() ? box->focusWidget() : box);
       }, BoxAnswer::yes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    SeenBox seen;
    answer_box(&seen, c.answer);
    EXPECT_EQ(ask_open_or_copy(), c.expected);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.title, u("信息："));
    EXPECT_EQ(seen.text, u("是：打开网址，否：复制网址"));
    EXPECT_EQ(seen.icon, QMessageBox::Information);
    EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    EXPECT_EQ(seen.default_button, QMessageBox::Yes);
    EXPECT_FALSE(seen.has_parent);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
  }
  EXPECT_EQ(static_cast<int>(BoxAnswer::yes), 5);
  EXPECT_EQ(static_cast<int>(BoxAnswer::no), 6);
  EXPECT_EQ(static_cast<int>(BoxAnswer::cancel), 1);
}

// A window whose list holds `listed`, and a stand-in opener.
class ResultActionsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // One opener for the whole suite: Qt remembers where it found xdg-open.
    opener_dir_ = new test::TempDir;
    const std::filesystem::path script = opener_dir_->write(
        "xdg-open",
        "#!/bin/sh\n"
        "log=\"$TOVARIN_TEST_OPEN_LOG\"\n"
        "{ printf '%s\\n' \"$#\"; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; } > \"$log.tmp\"\n"
        "mv \"$log.tmp\" \"$log\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    saved_path_ = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(opener_dir_->path().string()) + ":" + saved_path_);
  }
  static void TearDownTestSuite() {
    qputenv("PATH", saved_path_);
    delete opener_dir_;
    opener_dir_ = nullptr;
  }

  void SetUp() override {
    log_ = logs_.path() / "opened.txt";
    qputenv("TOVARIN_TEST_OPEN_LOG", QByteArray::fromStdString(log_.string()));
    window_ = new MainWindow(engine_);
    // The double-click during a crawl comes at an exact pump point.
    window_->set_pump_interval(std::chrono::milliseconds(0));
    ASSERT_TRUE(show_and_activate(window_));
  }
  void TearDown() override {
    delete window_.data();
    settle();
  }

  void list(const std::vector<std::string>& utf8_addresses) {
    WindowHost host(window_);
    for (const auto& a : utf8_addresses) host.add_result(utf8_to_gbk(a));
  }

  // Double-clicks entry `row` of the list (or its empty area when row < 0).
  void double_click_row(int row) {
    ResultList* l = window_->列表框1;
    const QPoint at = row >= 0 ? l->visualItemRect(l->item(row)).center()
                               : QPoint(10, l->viewport()->height() - 5);
    test::double_click(l->viewport(), at);
  }

  // What the opener was given, one argument per entry; empty when it has not
  // run within a few seconds.
  std::vector<std::string> opened() {
    std::vector<std::string> args;
    if (!pump_until([&] { return std::filesystem::exists(log_); })) return args;
    std::ifstream in(log_);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) args.push_back(line.substr(1, line.size() - 2));
    return args;
  }

  static test::TempDir* opener_dir_;
  static QByteArray saved_path_;
  test::TempDir logs_;
  std::filesystem::path log_;
  CrawlEngine engine_;
  QPointer<MainWindow> window_;
};

test::TempDir* ResultActionsTest::opener_dir_ = nullptr;
QByteArray ResultActionsTest::saved_path_;

TEST_F(ResultActionsTest, YesHandsTheShellExactlyTheEntryText) {
  const char* addresses[] = {
      "http://127.0.0.1:8080/path?q=1&r=2",
      "http://例子.test/中文/页面",
      "http://example.test/a b",
      "http://example.test/file.zip",
  };
  for (const char* address : addresses) {
    SCOPED_TRACE(address);
    std::filesystem::remove(log_);
    window_->列表框1->clear();
    list({"http://example.test/first", address, "http://example.test/last"});
    window_->标签5->setText(u("3"));
    SeenBox seen;
    answer_box(&seen, click_button(QMessageBox::Yes));
    double_click_row(1);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(opened(), std::vector<std::string>{address});
    // Nothing else changed.
    EXPECT_EQ(window_->列表框1->count(), 3);
    EXPECT_EQ(window_->列表框1->selected_index(), 1);
    EXPECT_EQ(window_->标签5->text(), u("3"));
  }
}

TEST_F(ResultActionsTest, NoPutsTheEntryOnTheClipboardAsPlainTextOnly) {
  list({"http://example.test/one", "http://例子.test/二"});
  SeenBox seen;
  answer_box(&seen, click_button(QMessageBox::No));
  double_click_row(1);
  ASSERT_TRUE(seen.shown);
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->text(), u("http://例子.test/二"));
  EXPECT_EQ(data->formats(), QStringList{QStringLiteral("text/plain")});
  EXPECT_FALSE(std::filesystem::exists(log_));
}

TEST_F(ResultActionsTest, CancelEscAndTheCloseBoxDoNothing) {
  list({"http://example.test/one"});
  const std::function<void(QMessageBox*)> answers[] = {click_button(QMessageBox::Cancel),
                                                       press_esc, close_box};
  for (const auto& answer : answers) {
    QGuiApplication::clipboard()->setText(u("kept"));
    SeenBox seen;
    answer_box(&seen, answer);
    double_click_row(0);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), u("kept"));
  }
  settle();
  EXPECT_FALSE(std::filesystem::exists(log_));
}

TEST_F(ResultActionsTest, WithNothingSelectedTheBoxStillAsksAndActsOnTheEmptyText) {
  // An empty list: No leaves an empty text on the clipboard.
  QGuiApplication::clipboard()->setText(u("before"));
  SeenBox seen;
  answer_box(&seen, click_button(QMessageBox::No));
  double_click_row(-1);
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString());
  EXPECT_EQ(window_->列表框1->selected_index(), -1);

  // Yes hands the empty text to the shell.
  SeenBox seen_yes;
  answer_box(&seen_yes, click_button(QMessageBox::Yes));
  result_double_clicked(*window_->列表框1);
  ASSERT_TRUE(seen_yes.shown);
  EXPECT_EQ(opened(), std::vector<std::string>{""});
}

TEST_F(ResultActionsTest, ClipboardRoundTripKeepsAGbkAddress) {
  const Text gbk = utf8_to_gbk("http://例子.test/搜索?词=中文");
  EXPECT_TRUE(set_clipboard_text(gbk));
  EXPECT_EQ(utf8_to_gbk(QGuiApplication::clipboard()->text().toStdString()), gbk);
}

TEST_F(ResultActionsTest, DoubleClickDuringACrawlPausesItUntilAnswered) {
  test::ScriptedServer server;
  server.add_page("/", R"(<a href="/a">a</a> <a href="/b">b</a>)");
  server.add_page("/a", "page a");
  server.add_page("/b", "page bb");
  const std::string root = server.url("");
  SeenBox seen;
  bool asked = false;
  // At the first listing, the user double-clicks that entry and answers No.
  QObject::connect(window_->列表框1->model(), &QAbstractItemModel::rowsInserted, window_, [&] {
    if (asked) return;
    asked = true;
    QTimer::singleShot(0, window_, [&] {
      answer_box(&seen, click_button(QMessageBox::No), window_->列表框1);
      double_click_row(0);
    });
  });
  window_->编辑框1->setText(QString::fromStdString(server.url("/")));
  test::click(window_->按钮1);
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(seen.list_count, 1);  // the crawl stood still while the box was open
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString(root));
  ASSERT_EQ(window_->列表框1->count(), 3);
  EXPECT_EQ(window_->列表框1->selected_index(), 2);  // back on the newest entry
  EXPECT_EQ(window_->标签5->text(), u("3"));
}

}  // namespace
}  // namespace tovarin
