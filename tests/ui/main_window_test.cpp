// The main window on the offscreen platform: its controls, its keyboard
// handling and its CrawlHost operations, crawls against a loopback site.

#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>
#include <memory>
#include <string>
#include <vector>

#include "engine/encoding.h"
#include "tests/support/generated_site.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_helpers.h"

namespace tovarin {
namespace {

using test::click;
using test::press_key;
using test::pump_until;
using test::ScriptedServer;
using test::settle;
using test::show_and_activate;

QString u(const char* utf8) { return QString::fromUtf8(utf8); }

std::vector<std::string> entries(const QListWidget* list) {
  std::vector<std::string> out;
  for (int i = 0; i < list->count(); ++i) out.push_back(list->item(i)->text().toStdString());
  return out;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = new MainWindow(engine_);
    // These tests act at exact pump points: every pump handles events.
    window_->set_pump_interval(std::chrono::milliseconds(0));
  }
  void TearDown() override {
    delete window_.data();
    settle();
  }

  // Sets the start address and clicks "Get"; the whole crawl runs inside.
  void crawl(const std::string& address, const char* depth = "2") {
    window_->编辑框1->setText(QString::fromStdString(address));
    window_->编辑框2->setText(u(depth));
    click(window_->按钮1);
  }

  CrawlEngine engine_;
  QPointer<MainWindow> window_;
};

// A small site with relative links, which are appended to the page's own
// address, so it works on whatever port the server got. Root -> /a, /b,
// /a again, /files/setup.exe; /a -> /a/deep.
void add_small_site(ScriptedServer& server) {
  server.add_page(
      "/", R"(<a href="/a">a</a> <a href="/b">b</a> <a href="/a">a again</a> <a href="/files/setup.exe">x</a>)");
  server.add_page("/a", R"(page a <a href="/deep">deeper</a>)");
  server.add_page("/a/deep", "the deep page");
  server.add_page("/b", "page b");
}

TEST_F(MainWindowTest, EveryControlHasItsNamePlaceSizeAndText) {
  struct Expected {
    const char* name;
    const char* kind;
    QRect geometry;
    const char* text;
  };
  const Expected table[] = {
      {"标签2", "QLabel", {24, 40, 56, 16}, "网址"},
      {"编辑框1", "QLineEdit", {80, 32, 264, 24}, ""},
      {"按钮1", "QPushButton", {368, 24, 64, 32}, "Get"},
      {"标签1", "QLabel", {24, 80, 56, 16}, "递归层数"},
      {"编辑框2", "QLineEdit", {80, 72, 64, 24}, "2"},
      {"列表框1", "tovarin::ResultList", {24, 112, 392, 176}, nullptr},
      {"标签3", "QLabel", {24, 304, 56, 16}, "有效："},
      {"标签5", "QLabel", {88, 304, 96, 16}, "0"},
      {"标签4", "QLabel", {224, 304, 56, 16}, "总共："},
      {"标签6", "QLabel", {288, 304, 96, 16}, "0"},
  };
  ASSERT_TRUE(show_and_activate(window_));
  for (const Expected& e : table) {
    SCOPED_TRACE(e.name);
    auto* control = window_->findChild<QWidget*>(u(e.name));
    ASSERT_NE(control, nullptr);
    EXPECT_STREQ(control->metaObject()->className(), e.kind);
    EXPECT_EQ(control->geometry(), e.geometry);
    EXPECT_TRUE(control->isVisible());
    EXPECT_TRUE(control->isEnabled());
    if (auto* label = qobject_cast<QLabel*>(control)) {
      EXPECT_EQ(label->text(), u(e.text));
      EXPECT_EQ(label->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
      EXPECT_FALSE(label->wordWrap());
      EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
      EXPECT_EQ(label->frameShape(), QFrame::NoFrame);
    } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
      EXPECT_EQ(edit->text(), u(e.text));
      EXPECT_TRUE(edit->hasFrame());
      EXPECT_EQ(edit->echoMode(), QLineEdit::Normal);
      EXPECT_FALSE(edit->isReadOnly());
    } else if (auto* button = qobject_cast<QPushButton*>(control)) {
      EXPECT_EQ(button->text(), u(e.text));
      EXPECT_FALSE(button->isDefault());
      EXPECT_FALSE(button->autoDefault());
    }
  }
  // The members are the named controls.
  EXPECT_EQ(window_->findChild<QWidget*>(u("编辑框1")), window_->编辑框1);
  EXPECT_EQ(window_->findChild<QWidget*>(u("列表框1")), window_->列表框1);
  EXPECT_EQ(window_->findChildren<QLabel*>().size(), 6);
}

TEST_F(MainWindowTest, WindowIsFixedCentredAndOffersNoMaximise) {
  ASSERT_TRUE(show_and_activate(window_));
  settle();
  EXPECT_EQ(window_->windowTitle(), u("Tovarin"));
  EXPECT_FALSE(window_->windowIcon().isNull());
  const Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowTitleHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());

  // Frame and client together: whatever frame the platform reports.
  const QMargins frame = window_->windowHandle()->frameMargins();
  EXPECT_EQ(window_->size(),
            QSize(455 - frame.left() - frame.right(), 367 - frame.top() - frame.bottom()));
  const QRect outer = window_->frameGeometry();
  EXPECT_EQ(outer.size(), QSize(455, 367));
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(outer.topLeft(), QPoint(screen.x() + (screen.width() - 455) / 2,
                                    screen.y() + (screen.height() - 367) / 2));
}

TEST_F(MainWindowTest, StartsEmptyWithFocusInTheAddressBoxAndDownloadTypesLoaded) {
  // The created event has run before the window is shown.
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(engine_.download_types().size(), 18u);
  ASSERT_TRUE(show_and_activate(window_));
  EXPECT_EQ(QApplication::focusWidget(), window_->编辑框1);
  EXPECT_EQ(window_->列表框1->count(), 0);
  EXPECT_EQ(window_->列表框1->selected_index(), -1);
  EXPECT_EQ(window_->标签5->text(), u("0"));
  EXPECT_EQ(window_->标签6->text(), u("0"));
}

TEST_F(MainWindowTest, TabCyclesAddressButtonDepthListAndShiftTabGoesBack) {
  ASSERT_TRUE(show_and_activate(window_));
  const std::vector<QWidget*> cycle = {window_->编辑框1, window_->按钮1, window_->编辑框2,
                                       window_->列表框1, window_->编辑框1};
  for (std::size_t i = 1; i < cycle.size(); ++i) {
    press_key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), cycle[i]) << "after Tab " << i;
  }
  for (std::size_t i = cycle.size() - 1; i > 0; --i) {
    press_key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), cycle[i - 1]) << "after Shift+Tab from " << i;
  }
}

TEST_F(MainWindowTest, FocusReturnsToTheLastFocusedControlOnActivation) {
  ASSERT_TRUE(show_and_activate(window_));
  window_->编辑框2->setFocus(Qt::TabFocusReason);
  QWidget other;
  other.setWindowTitle(u("other"));
  ASSERT_TRUE(show_and_activate(&other));
  ASSERT_FALSE(window_->isActiveWindow());
  ASSERT_TRUE(show_and_activate(window_));
  EXPECT_EQ(QApplication::focusWidget(), window_->编辑框2);
}

TEST_F(MainWindowTest, EscClosesTheWindowFromEveryControl) {
  const char* names[] = {"编辑框1", "按钮1", "编辑框2", "列表框1"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    CrawlEngine engine;
    QPointer<MainWindow> window = new MainWindow(engine);
    ASSERT_TRUE(show_and_activate(window));
    auto* control = window->findChild<QWidget*>(u(name));
    control->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), control);
    press_key(Qt::Key_Escape);
    EXPECT_TRUE(window->is_closed());
    EXPECT_FALSE(window->isVisible());
    // Closing destroys the window.
    EXPECT_TRUE(pump_until([&] { return window.isNull(); }));
    delete window.data();
  }
}

TEST_F(MainWindowTest, EnterNeverStartsACrawl) {
  ScriptedServer server;
  add_small_site(server);
  ASSERT_TRUE(show_and_activate(window_));
  window_->编辑框1->setText(QString::fromStdString(server.url("/")));
  for (QWidget* control : {static_cast<QWidget*>(window_->编辑框1),
                           static_cast<QWidget*>(window_->编辑框2),
                           static_cast<QWidget*>(window_->按钮1)}) {
    control->setFocus(Qt::TabFocusReason);
    press_key(Qt::Key_Return);
    press_key(Qt::Key_Enter, Qt::KeypadModifier);
  }
  settle();
  EXPECT_EQ(window_->标签6->text(), u("0"));
  EXPECT_EQ(window_->列表框1->count(), 0);
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_TRUE(window_->isVisible());
}

TEST_F(MainWindowTest, CrawlListsTheSiteCountsAndSelectsTheNewestEntry) {
  ScriptedServer server;
  add_small_site(server);
  ASSERT_TRUE(show_and_activate(window_));
  const std::string root = server.url("");  // "http://127.0.0.1:PORT"
  crawl(server.url("/"));
  EXPECT_EQ(entries(window_->列表框1),
            (std::vector<std::string>{root, root + "/a", root + "/a/deep", root + "/b",
                                      root + "/files/setup.exe"}));
  EXPECT_EQ(window_->标签5->text(), u("5"));
  // Six visits, the second link to /a included; the start counts one
  // more before the first visit.
  EXPECT_EQ(window_->标签6->text(), u("7"));
  EXPECT_EQ(window_->列表框1->selected_index(), 4);
  EXPECT_TRUE(window_->按钮1->isEnabled());
  EXPECT_FALSE(window_->is_crawling());
  // The download address was listed without being fetched.
  EXPECT_EQ(server.request_targets(), (std::vector<std::string>{"/", "/a", "/a/deep", "/b"}));

  // A second crawl with depth 0 starts from a cleared list and counters.
  crawl(server.url("/"), "0");
  EXPECT_EQ(entries(window_->列表框1), std::vector<std::string>{root});
  EXPECT_EQ(window_->标签5->text(), u("1"));
  EXPECT_EQ(window_->标签6->text(), u("6"));  // the four links are visited and end at depth 1
}

TEST_F(MainWindowTest, CrawlWithAnEmptyAddressListsNothing) {
  ASSERT_TRUE(show_and_activate(window_));
  crawl("");
  EXPECT_EQ(window_->列表框1->count(), 0);
  EXPECT_EQ(window_->标签5->text(), u("0"));
  EXPECT_EQ(window_->标签6->text(), u("2"));
  EXPECT_TRUE(window_->按钮1->isEnabled());
}

// What a probe saw at the first pump of a crawl.
struct DuringCrawl {
  bool ran = false;
  bool button_enabled = true;
  int clicks_started = 0;
  QWidget* after_tab = nullptr;
};

TEST_F(MainWindowTest, ButtonIsGreyAndIgnoresClicksAndSpaceDuringACrawl) {
  ScriptedServer server;
  add_small_site(server);
  ASSERT_TRUE(show_and_activate(window_));
  DuringCrawl seen;
  int clicked_signals = 0;
  QObject::connect(window_->按钮1, &QPushButton::clicked, [&] { ++clicked_signals; });
  // Runs inside the crawl's first pump.
  QTimer::singleShot(0, window_, [&] {
    seen.ran = true;
    seen.button_enabled = window_->按钮1->isEnabled();
    click(window_->按钮1);
    window_->按钮1->setFocus(Qt::OtherFocusReason);  // refused while disabled
    press_key(Qt::Key_Space, Qt::NoModifier, window_->按钮1);
    window_->编辑框1->setFocus(Qt::TabFocusReason);
    press_key(Qt::Key_Tab);
    seen.after_tab = QApplication::focusWidget();
  });
  crawl(server.url("/"));
  ASSERT_TRUE(seen.ran);
  EXPECT_FALSE(seen.button_enabled);
  EXPECT_EQ(clicked_signals, 1);  // only the click that started the crawl
  EXPECT_EQ(seen.after_tab, window_->编辑框2);
  // One crawl only: each page was fetched once.
  EXPECT_EQ(server.request_targets(), (std::vector<std::string>{"/", "/a", "/a/deep", "/b"}));
  EXPECT_TRUE(window_->按钮1->isEnabled());
  // With the crawl over, Tab stops at the button again.
  window_->编辑框1->setFocus(Qt::TabFocusReason);
  press_key(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), window_->按钮1);
}

TEST_F(MainWindowTest, FocusGoesBackToTheButtonAfterACrawlStartedFromIt) {
  ScriptedServer server;
  add_small_site(server);
  ASSERT_TRUE(show_and_activate(window_));
  window_->编辑框1->setText(QString::fromStdString(server.url("/")));
  window_->按钮1->setFocus(Qt::TabFocusReason);
  press_key(Qt::Key_Space, Qt::NoModifier, window_->按钮1);
  ASSERT_EQ(window_->列表框1->count(), 5);
  EXPECT_EQ(QApplication::focusWidget(), window_->按钮1);

  // Focus the user moves during the crawl stays where the user put it.
  QTimer::singleShot(0, window_, [&] { window_->编辑框1->setFocus(Qt::MouseFocusReason); });
  window_->按钮1->setFocus(Qt::TabFocusReason);
  press_key(Qt::Key_Space, Qt::NoModifier, window_->按钮1);
  EXPECT_EQ(QApplication::focusWidget(), window_->编辑框1);
}

TEST_F(MainWindowTest, DepthTypedDuringACrawlIsReadOnlyByTheNextStart) {
  ScriptedServer server;
  add_small_site(server);
  ASSERT_TRUE(show_and_activate(window_));
  QTimer::singleShot(0, window_, [&] { window_->编辑框2->setText(u("0")); });
  crawl(server.url("/"), "2");
  EXPECT_EQ(window_->列表框1->count(), 5);
  EXPECT_EQ(window_->编辑框2->text(), u("0"));
}

TEST_F(MainWindowTest, NewestEntryIsSelectedAndVisibleEvenAfterTheUserMovedAway) {
  ASSERT_TRUE(show_and_activate(window_));
  WindowHost host(window_);
  ResultList* list = window_->列表框1;
  for (int i = 0; i < 40; ++i) host.add_result("http://example.test/page" + std::to_string(i));
  // The selection follows the listings by the next pump, before any event
  // (a click, a double-click) can look at it.
  EXPECT_TRUE(host.pump_events());
  ASSERT_EQ(list->selected_index(), 39);
  // The user selects the first entry and scrolls to the top.
  list->setCurrentRow(0);
  list->verticalScrollBar()->setValue(0);
  ASSERT_EQ(list->selected_index(), 0);
  host.add_result("http://example.test/newest");
  EXPECT_TRUE(host.pump_events());
  EXPECT_EQ(list->selected_index(), 40);
  EXPECT_EQ(list->selectedItems().size(), 1);
  const QRect shown = list->visualItemRect(list->item(40));
  EXPECT_TRUE(list->viewport()->rect().contains(shown)) << shown.y();
  host.clear_results();
  EXPECT_EQ(list->count(), 0);
  EXPECT_EQ(list->selected_index(), -1);
}

TEST_F(MainWindowTest, ListRowsAreOnePixelTallerThanTheFontAndNeverScrollSideways) {
  ASSERT_TRUE(show_and_activate(window_));
  WindowHost host(window_);
  ResultList* list = window_->列表框1;
  host.add_result("http://example.test/" + std::string(400, 'x'));
  settle();
  const QRect row = list->visualItemRect(list->item(0));
  EXPECT_EQ(row.height(), QFontMetrics(list->font()).height() + 1);
  EXPECT_EQ(list->textElideMode(), Qt::ElideNone);
  // The long entry is cut off at the right edge: nothing to scroll to.
  EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
  EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
  EXPECT_GE(row.width(), list->viewport()->width() - 2);
  // The vertical bar appears only once the rows no longer fit.
  EXPECT_FALSE(list->verticalScrollBar()->isVisible());
  const int fitting = list->viewport()->height() / row.height();
  for (int i = 1; i < fitting; ++i) host.add_result("http://example.test/" + std::to_string(i));
  settle();
  EXPECT_FALSE(list->verticalScrollBar()->isVisible());
  for (int i = 0; i < 2; ++i) host.add_result("http://example.test/more" + std::to_string(i));
  settle();
  EXPECT_TRUE(list->verticalScrollBar()->isVisible());
  EXPECT_EQ(list->geometry(), QRect(24, 112, 392, 176));
}

TEST_F(MainWindowTest, HostReadsTheBoxesAsGbkAndListsGbkAsCharacters) {
  ASSERT_TRUE(show_and_activate(window_));
  WindowHost host(window_);
  window_->编辑框1->setText(u(" http://例子.test/路径 "));
  window_->编辑框2->setText(u("３"));
  EXPECT_EQ(host.read_start_address(), utf8_to_gbk(" http://例子.test/路径 "));
  EXPECT_EQ(host.read_depth_text(), utf8_to_gbk("３"));
  const Text gbk = utf8_to_gbk("http://例子.test/中文");
  host.add_result(gbk);
  EXPECT_EQ(window_->列表框1->item(0)->text(), u("http://例子.test/中文"));
  EXPECT_EQ(window_->列表框1->entry_text(0), gbk);
  host.show_valid_count(-12);
  host.show_total_count(2147483647);
  EXPECT_EQ(window_->标签5->text(), u("-12"));
  EXPECT_EQ(window_->标签6->text(), u("2147483647"));
  host.set_start_enabled(false);
  EXPECT_FALSE(window_->按钮1->isEnabled());
  host.set_start_enabled(true);
  EXPECT_TRUE(window_->按钮1->isEnabled());
  EXPECT_TRUE(host.pump_events());
}

TEST_F(MainWindowTest, ClosingDuringACrawlStopsItAndLeavesTheHostHarmless) {
  ScriptedServer server;
  add_small_site(server);
  ASSERT_TRUE(show_and_activate(window_));
  bool closed_in_pump = false;
  // The close arrives at the crawl's first pump, before anything was fetched.
  QTimer::singleShot(0, window_, [&] {
    window_->close();
    closed_in_pump = true;
  });
  crawl(server.url("/"));
  ASSERT_TRUE(closed_in_pump);
  EXPECT_EQ(server.request_count(), 0u);
  ASSERT_FALSE(window_.isNull());  // kept until the click handler returned
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(window_->is_crawling());
  // Then it is destroyed, and a host that outlived it stays harmless.
  WindowHost host(window_);
  EXPECT_FALSE(host.pump_events());
  ASSERT_TRUE(pump_until([&] { return window_.isNull(); }));
  host.clear_results();
  host.add_result("http://example.test/");
  host.show_valid_count(1);
  host.show_total_count(1);
  host.set_start_enabled(true);
  EXPECT_EQ(host.read_start_address(), "");
  EXPECT_EQ(host.read_depth_text(), "");
  EXPECT_FALSE(host.pump_events());
}

TEST_F(MainWindowTest, ClosingAfterSomeListingsStopsTheCrawlAtTheNextPump) {
  ScriptedServer server;
  add_small_site(server);
  ASSERT_TRUE(show_and_activate(window_));
  // Close as soon as the first entry is listed.
  QObject::connect(window_->列表框1->model(), &QAbstractItemModel::rowsInserted, window_,
                   [&] { QTimer::singleShot(0, window_, [&] { window_->close(); }); });
  crawl(server.url("/"));
  ASSERT_FALSE(window_.isNull());
  EXPECT_TRUE(window_->is_closed());
  EXPECT_EQ(window_->列表框1->count(), 1);
  EXPECT_EQ(server.request_targets(), std::vector<std::string>{"/"});
}

TEST(MainWindowPumpTest, PumpsWithinAFrameReturnAtOnceAndTheNextOneHandlesTheClose) {
  // Pages that take longer than the pump interval to arrive: the pump after
  // each of them handles events.
  ScriptedServer server;
  server.add_page("/", R"(<a href="/a">a</a> <a href="/b">b</a> <a href="/c">c</a>)");
  const auto slow = [](const std::string& body) {
    return test::ServerReply{test::ServerReply::Kind::kDrip, ScriptedServer::response(200, body), 8,
                             2 * MainWindow::kPumpInterval};
  };
  server.add_fault("/a", slow("page a"));
  server.add_fault("/b", slow("page bb"));
  server.add_fault("/c", slow("page ccc"));
  CrawlEngine engine;
  QPointer<MainWindow> window = new MainWindow(engine);
  ASSERT_EQ(window->pump_interval(), MainWindow::kPumpInterval);
  ASSERT_TRUE(show_and_activate(window));
  QObject::connect(window->列表框1->model(), &QAbstractItemModel::rowsInserted, window, [&] {
    if (window->列表框1->count() == 1) QTimer::singleShot(0, window, [&] { window->close(); });
  });
  window->编辑框1->setText(QString::fromStdString(server.url("/")));
  click(window->按钮1);
  ASSERT_FALSE(window.isNull());
  EXPECT_TRUE(window->is_closed());
  // The close was handled at the first pump that came a frame later: after
  // the start page or, at the latest, after the slow page that followed it.
  EXPECT_LE(window->列表框1->count(), 2);
  const auto requests = server.request_targets();
  EXPECT_TRUE(std::find(requests.begin(), requests.end(), "/b") == requests.end());
  delete window.data();
  settle();
}

TEST(MainWindowDeepChainTest, ChainOfTwentyThousandPagesCompletesInTheWindowsThread) {
  // Each page links only to the next one: the crawl nests as deep as the
  // chain, inside the click handler of the window's own thread.
  test::TempDir root;
  const test::GeneratedSite site = test::write_chain_site(root.path(), "127.0.84.17", 20000);
  test::NginxServer nginx(root.path(), "127.0.84.17", {.access_log = false});
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  CrawlEngine engine;
  QPointer<MainWindow> window = new MainWindow(engine);
  ASSERT_TRUE(show_and_activate(window));
  window->编辑框1->setText(QString::fromStdString(test::site_start("127.0.84.17")));
  window->编辑框2->setText(u("100000"));
  click(window->按钮1);
  ResultList* list = window->列表框1;
  ASSERT_EQ(list->count(), static_cast<int>(site.listed.size()));
  for (int i = 0; i < list->count(); ++i) ASSERT_EQ(list->entry_text(i), site.listed[static_cast<std::size_t>(i)]) << i;
  EXPECT_EQ(list->selected_index(), list->count() - 1);
  EXPECT_EQ(window->标签5->text(), QString::number(list->count()));
  EXPECT_TRUE(window->按钮1->isEnabled());
  delete window.data();
  settle();
}

}  // namespace
}  // namespace tovarin
