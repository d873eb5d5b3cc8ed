// What the window costs a whole-site crawl: the same static site, served by a
// local nginx on port 80 of a loopback address, crawled through the real
// window (a MainWindow on Qt's xcb platform, on a private Xvfb display) and
// by tovarin-crawl in the terminal, taking turns round by round.
//
//   window_bench [PAGES] [ROUNDS]     (defaults: 3000 pages, 3 rounds)
//
// Needs root (nginx binds port 80), /usr/sbin/nginx and /usr/bin/Xvfb; it
// starts its own Xvfb on a free display and stops it, and nginx, at the end.
//
// In the window the address is typed into 编辑框1 and the depth into 编辑框2
// as key events, and the crawl is started by a mouse press and release on
// 按钮1; it is timed from the press until the click handler returns (the
// whole crawl runs inside it), and the list's entries are then compared with
// the site's pages. tovarin-crawl runs as a child process and its output is
// compared the same way. Prints pages per second for both (best and median
// of the rounds) and the window's overhead, window time / terminal time - 1.
//
// After the timed rounds, one more crawl through the shown window goes
// through a host that times each kind of call the engine makes on the window
// (listing, counters, event pumps) and counts the paints, to tell where the
// window's share of the time goes; it is not part of the figures above.

#include <signal.h>

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWindow>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/crawl_engine.h"
#include "engine/http_session.h"
#include "tests/support/child_process.h"
#include "tests/support/generated_site.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "ui/main_window.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tovarin::test::AccessLogEntry;
using tovarin::test::ChildResult;

constexpr const char* kHost = "127.0.84.251";
constexpr double kGoalOverhead = 0.30;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Distinct site pages the run's GET requests reached.
std::size_t pages_reached(const std::vector<AccessLogEntry>& log, const std::set<std::string>& site_targets) {
  std::set<std::string> reached;
  for (const AccessLogEntry& e : log) {
    if (e.method == "GET" && site_targets.count(e.target) != 0) reached.insert(e.target);
  }
  return reached.size();
}

// A private X server: Xvfb picks a free display number and writes it to its
// standard output (-displayfd 1), where the child's pipe catches it.
class PrivateDisplay {
 public:
  PrivateDisplay()
      : xvfb_({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"}) {
    if (!xvfb_.wait_for_output([](const std::string& out) { return out.find('\n') != std::string::npos; }, 10s)) {
      error_ = "Xvfb did not report a display: " + xvfb_.err();
      return;
    }
    const std::string out = xvfb_.out();
    display_ = ":" + out.substr(0, out.find('\n'));
  }
  ~PrivateDisplay() {
    xvfb_.send_signal(SIGTERM);
    xvfb_.finish(5s);
  }
  PrivateDisplay(const PrivateDisplay&) = delete;
  PrivateDisplay& operator=(const PrivateDisplay&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& display() const { return display_; }

 private:
  tovarin::test::ChildProcess xvfb_;
  std::string display_;
  std::string error_;
};

// Counts the paints of the widgets it watches.
class PaintCounter final : public QObject {
 public:
  int list_paints = 0;
  int other_paints = 0;
  QObject* list_viewport = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++(watched == list_viewport ? list_paints : other_paints);
    return false;
  }
};

// Handles whatever is pending, for at most `limit`, until `done` holds.
template <typename Done>
bool process_until(Done done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// A fresh window, shown and on screen.
std::unique_ptr<tovarin::MainWindow> shown_window(tovarin::CrawlEngine& engine) {
  auto window = std::make_unique<tovarin::MainWindow>(engine);
  window->show();
  const bool exposed =
      process_until([&] { return window->windowHandle() != nullptr && window->windowHandle()->isExposed(); }, 5000ms);
  if (!exposed) return nullptr;
  QApplication::processEvents(QEventLoop::AllEvents, 50);
  return window;
}

// Types `text` into `edit` as key presses and releases (ASCII only: the Qt
// key codes of ASCII characters are their upper-case values).
void type_into(QLineEdit* edit, const std::string& text) {
  edit->setFocus(Qt::MouseFocusReason);
  for (char c : text) {
    const int key = std::toupper(static_cast<unsigned char>(c));
    const QString chr = QString(QChar::fromLatin1(c));
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, chr);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, chr);
    QApplication::sendEvent(edit, &press);
    QApplication::sendEvent(edit, &release);
  }
}

// A left click on `button`: press and release at its centre. The release
// runs the click handler, and with it the whole crawl.
void click(QWidget* button) {
  const QPointF local = QRectF(button->rect()).center();
  const QPointF global = button->mapToGlobal(local);
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(button, &press);
  QApplication::sendEvent(button, &release);
}

struct WindowRun {
  bool ok = false;
  double elapsed = 0;
  std::size_t listed = 0;
  int list_paints = 0;
  int other_paints = 0;
  std::string note;
};

std::vector<std::string> listed_entries(const tovarin::MainWindow& window) {
  std::vector<std::string> entries;
  const int n = window.列表框1->count();
  for (int i = 0; i < n; ++i) {
    const tovarin::Text text = window.列表框1->entry_text(i);
    entries.emplace_back(text.data(), text.size());
  }
  return entries;
}

WindowRun crawl_in_window(const tovarin::test::GeneratedSite& site) {
  WindowRun run;
  tovarin::CrawlEngine engine;
  std::unique_ptr<tovarin::MainWindow> window = shown_window(engine);
  if (!window) {
    run.note = "the window never became exposed";
    return run;
  }
  type_into(window->编辑框1, tovarin::test::site_start(kHost));
  window->编辑框2->selectAll();
  type_into(window->编辑框2, "100000");
  if (window->编辑框1->text().toStdString() != tovarin::test::site_start(kHost) ||
      window->编辑框2->text() != QStringLiteral("100000")) {
    run.note = "typing did not reach the edit boxes";
    return run;
  }
  PaintCounter paints;
  paints.list_viewport = window->列表框1->viewport();
  for (QWidget* w : {static_cast<QWidget*>(window.get()), window->列表框1->viewport(),
                     static_cast<QWidget*>(window->标签5), static_cast<QWidget*>(window->标签6),
                     static_cast<QWidget*>(window->按钮1)}) {
    w->installEventFilter(&paints);
  }

  const auto start = Clock::now();
  click(window->按钮1);
  run.elapsed = seconds(Clock::now() - start);

  run.list_paints = paints.list_paints;
  run.other_paints = paints.other_paints;
  const std::vector<std::string> entries = listed_entries(*window);
  run.listed = entries.size();
  run.ok = !window->is_crawling() && entries == site.listed &&
           window->标签5->text() == QString::number(static_cast<qulonglong>(entries.size()));
  if (!run.ok) run.note = "the list does not hold exactly the site's pages";
  return run;
}

// A host that forwards every call to the window's own host and times it by
// kind; the rest of the crawl's time is the engine's own (fetching, keys,
// link extraction).
class TimingHost final : public tovarin::CrawlHost {
 public:
  explicit TimingHost(tovarin::MainWindow* window) : inner_(window) {}

  double add_result_s = 0, counters_s = 0, pump_s = 0, other_s = 0;
  long add_results = 0, counter_updates = 0, pumps = 0, busy_pumps = 0;

  void clear_results() override { timed(other_s, [&] { inner_.clear_results(); }); }
  void add_result(const tovarin::Text& a) override {
    ++add_results;
    timed(add_result_s, [&] { inner_.add_result(a); });
  }
  void show_valid_count(std::int32_t n) override {
    ++counter_updates;
    timed(counters_s, [&] { inner_.show_valid_count(n); });
  }
  void show_total_count(std::int32_t n) override {
    ++counter_updates;
    timed(counters_s, [&] { inner_.show_total_count(n); });
  }
  bool pump_events() override {
    ++pumps;
    bool alive = true;
    const double before = pump_s;
    timed(pump_s, [&] { alive = inner_.pump_events(); });
    if (pump_s - before > 100e-6) ++busy_pumps;
    return alive;
  }
  void set_start_enabled(bool on) override { timed(other_s, [&] { inner_.set_start_enabled(on); }); }
  tovarin::Text read_start_address() override { return inner_.read_start_address(); }
  tovarin::Text read_depth_text() override { return inner_.read_depth_text(); }

 private:
  template <typename F>
  void timed(double& into, F f) {
    const auto start = Clock::now();
    f();
    into += seconds(Clock::now() - start);
  }
  tovarin::WindowHost inner_;
};

void breakdown(const tovarin::test::GeneratedSite& site, double terminal_best) {
  tovarin::CrawlEngine engine;
  std::unique_ptr<tovarin::MainWindow> window = shown_window(engine);
  if (!window) return;
  window->编辑框1->setText(QString::fromStdString(tovarin::test::site_start(kHost)));
  window->编辑框2->setText(QStringLiteral("100000"));
  PaintCounter paints;
  paints.list_viewport = window->列表框1->viewport();
  window->列表框1->viewport()->installEventFilter(&paints);
  TimingHost host(window.get());
  const auto start = Clock::now();
  engine.start_crawl(host);
  const double total = seconds(Clock::now() - start);
  const double window_s = host.add_result_s + host.counters_s + host.pump_s + host.other_s;
  const bool same = listed_entries(*window) == site.listed;
  std::printf("\nwhere the window's time goes (one more crawl through the shown window, calls timed; %s):\n",
              same ? "listed every page" : "MISMATCH");
  std::printf("  whole crawl         %7.3f s\n", total);
  std::printf("  add_result          %7.3f s  %6ld calls  %6.1f us each (append, select, scroll to it)\n",
              host.add_result_s, host.add_results, 1e6 * host.add_result_s / std::max(1L, host.add_results));
  std::printf("  counters            %7.3f s  %6ld calls  %6.1f us each (标签5/标签6 setText)\n", host.counters_s,
              host.counter_updates, 1e6 * host.counters_s / std::max(1L, host.counter_updates));
  std::printf("  pump_events         %7.3f s  %6ld calls  %6.1f us each, %ld of them over 100 us; list paints %d\n",
              host.pump_s, host.pumps, 1e6 * host.pump_s / std::max(1L, host.pumps), host.busy_pumps,
              paints.list_paints);
  std::printf("  other window calls  %7.3f s\n", host.other_s);
  std::printf("  the rest (engine)   %7.3f s  (tovarin-crawl's best whole run: %.3f s)\n", total - window_s,
              terminal_best);
}

// The list alone, in a shown window and without any pumping: `count`
// entries appended in three ways, each timed over its first and last thirds,
// to tell the cost of appending from that of selecting and scrolling and to
// show whether it grows with the list.
void list_growth(std::size_t count) {
  tovarin::CrawlEngine engine;
  std::unique_ptr<tovarin::MainWindow> window = shown_window(engine);
  if (!window) return;
  tovarin::ResultList* list = window->列表框1;
  std::printf("\nthe list alone, %zu entries appended without pumping (us per entry, first third / last third):\n",
              count);
  const char* names[] = {"addItem", "addItem + setCurrentItem", "append_and_select (+ scrollToItem)",
                         "append_and_select, Batched layout mode"};
  for (int way = 0; way < 4; ++way) {
    list->clear();
    if (way == 3) list->setLayoutMode(QListView::Batched);
    QApplication::processEvents();
    double first = 0, last = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string text = "http://" + std::string(kHost) + "/p/" + std::to_string(i) + ".html";
      const auto start = Clock::now();
      if (way >= 2) {
        list->append_and_select(tovarin::Text(text));
      } else {
        list->addItem(QString::fromStdString(text));
        if (way == 1) list->setCurrentItem(list->item(list->count() - 1), QItemSelectionModel::ClearAndSelect);
      }
      const double took = seconds(Clock::now() - start);
      if (i < count / 3) first += took;
      if (i >= count - count / 3) last += took;
    }
    const double third = static_cast<double>(std::max<std::size_t>(1, count / 3));
    std::printf("  %-36s %7.1f / %7.1f\n", names[way], 1e6 * first / third, 1e6 * last / third);
  }
}

// The crawl through the shown window, with pumping limited to once per
// `interval` and the newest entry selected and scrolled to only then: what
// the window would cost with its repaints and list work so batched.
class BatchingHost final : public tovarin::CrawlHost {
 public:
  BatchingHost(tovarin::MainWindow* window, std::chrono::milliseconds interval, bool batch_select)
      : window_(window), inner_(window), interval_(interval), batch_select_(batch_select) {}
  long real_pumps = 0;

  void clear_results() override { inner_.clear_results(); }
  void add_result(const tovarin::Text& a) override {
    if (!batch_select_) return inner_.add_result(a);
    auto* entry = new QListWidgetItem(QString::fromStdString(std::string(a)));
    entry->setData(Qt::UserRole, QByteArray(a.data(), static_cast<qsizetype>(a.size())));
    window_->列表框1->addItem(entry);
    pending_select_ = true;
  }
  void show_valid_count(std::int32_t n) override { inner_.show_valid_count(n); }
  void show_total_count(std::int32_t n) override { inner_.show_total_count(n); }
  bool pump_events() override {
    const auto now = Clock::now();
    if (now - last_ < interval_) return true;
    last_ = now;
    ++real_pumps;
    flush_select();
    return inner_.pump_events();
  }
  void set_start_enabled(bool on) override {
    flush_select();
    inner_.set_start_enabled(on);
  }
  tovarin::Text read_start_address() override { return inner_.read_start_address(); }
  tovarin::Text read_depth_text() override { return inner_.read_depth_text(); }

 private:
  void flush_select() {
    if (!pending_select_) return;
    pending_select_ = false;
    QListWidget* list = window_->列表框1;
    QListWidgetItem* newest = list->item(list->count() - 1);
    list->setCurrentItem(newest, QItemSelectionModel::ClearAndSelect);
    list->scrollToItem(newest, QAbstractItemView::EnsureVisible);
  }
  tovarin::MainWindow* window_;
  tovarin::WindowHost inner_;
  std::chrono::milliseconds interval_;
  bool batch_select_;
  bool pending_select_ = false;
  Clock::time_point last_{};
};

void what_if(const tovarin::test::GeneratedSite& site, double terminal_best) {
  std::printf("\nwhat if (the same crawl through the shown window, changed only in this benchmark's host):\n");
  struct Variant {
    const char* name;
    std::chrono::milliseconds interval;
    bool batch_select;
    bool batched_layout;
  };
  const Variant variants[] = {
      {"pump every call, select/scroll batched", 0ms, true, false},
      {"pump every call, list in Batched layout mode", 0ms, false, true},
      {"pump at most every 20 ms", 20ms, false, false},
      {"pump at most every 20 ms, Batched layout mode", 20ms, false, true},
      {"pump at most every 20 ms, select/scroll batched", 20ms, true, false},
      {"pump at most every 50 ms, select/scroll batched", 50ms, true, false},
  };
  for (const Variant& v : variants) {
    tovarin::CrawlEngine engine;
    std::unique_ptr<tovarin::MainWindow> window = shown_window(engine);
    if (!window) return;
    window->编辑框1->setText(QString::fromStdString(tovarin::test::site_start(kHost)));
    window->编辑框2->setText(QStringLiteral("100000"));
    if (v.batched_layout) window->列表框1->setLayoutMode(QListView::Batched);
    BatchingHost host(window.get(), v.interval, v.batch_select);
    const auto start = Clock::now();
    engine.start_crawl(host);
    const double total = seconds(Clock::now() - start);
    const bool same = listed_entries(*window) == site.listed && window->列表框1->currentRow() == window->列表框1->count() - 1;
    std::printf("  %-48s %.3f s  %+6.1f %% over tovarin-crawl's best  %ld pumps  %s\n", v.name, total,
                100 * (total / terminal_best - 1), host.real_pumps, same ? "ok" : "MISMATCH");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t pages = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 3000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (pages < 1 || pages > 90000 || rounds < 1 || rounds > 50) {
    std::fprintf(stderr, "usage: %s [PAGES (1..90000)] [ROUNDS (1..50)]\n", argv[0]);
    return 2;
  }

  tovarin::test::TempDir root;
  const tovarin::test::GeneratedSite site = tovarin::test::write_tree_site(root.path(), kHost, pages, 8);
  const std::set<std::string> site_targets(site.targets.begin(), site.targets.end());
  std::printf("site: %zu pages (%zu with the root), %.1f MB, tree of fanout 8 with a link home on every page\n", pages,
              site.listed.size(), static_cast<double>(site.total_bytes) / 1e6);

  tovarin::test::NginxServer nginx(root.path(), kHost);
  if (!nginx.ok()) {
    std::fprintf(stderr, "%s\n", nginx.error().c_str());
    return 1;
  }
  PrivateDisplay display;
  if (!display.ok()) {
    std::fprintf(stderr, "%s\n", display.error().c_str());
    return 1;
  }
  ::setenv("DISPLAY", display.display().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  tovarin::test::TempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  std::printf("display %s (Xvfb), Qt platform xcb\n\n", display.display().c_str());

  bool all_ok = true;
  std::vector<double> window_times, terminal_times;
  {
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    QApplication app(qt_argc, qt_argv);
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
      std::fprintf(stderr, "Qt platform is %s, not xcb\n", qPrintable(QGuiApplication::platformName()));
      return 1;
    }

    // Warm nginx and the page cache with one unmeasured terminal crawl.
    tovarin::test::run_child({TOVARIN_CRAWL_BINARY, tovarin::test::site_start(kHost), "100000"}, 600s);

    for (int round = 1; round <= rounds; ++round) {
      // The two take turns first within each round, so that neither always
      // runs right after the other.
      for (int turn = 0; turn < 2; ++turn) {
        const bool window_turn = (turn == 0) == (round % 2 == 1);
        const std::size_t mark = nginx.request_count();
        if (window_turn) {
          const WindowRun run = crawl_in_window(site);
          const std::size_t reached = pages_reached(nginx.access_log_since(mark), site_targets);
          const bool ok = run.ok && reached == site_targets.size();
          all_ok = all_ok && ok;
          window_times.push_back(run.elapsed);
          std::printf("round %d  window:        %7.0f pages/s  %.3f s  listed %zu  reached %zu  list paints %d, "
                      "other paints %d  %s %s\n",
                      round, static_cast<double>(run.listed) / run.elapsed, run.elapsed, run.listed, reached,
                      run.list_paints, run.other_paints, ok ? "ok" : "MISMATCH", run.note.c_str());
        } else {
          const ChildResult r =
              tovarin::test::run_child({TOVARIN_CRAWL_BINARY, tovarin::test::site_start(kHost), "100000"}, 600s);
          const std::vector<std::string> listed = lines_of(r.out);
          const std::size_t reached = pages_reached(nginx.access_log_since(mark), site_targets);
          const bool ok = !r.timed_out && r.exit_code == 0 && listed == site.listed && reached == site_targets.size();
          all_ok = all_ok && ok;
          terminal_times.push_back(seconds(r.elapsed));
          std::printf("round %d  tovarin-crawl: %7.0f pages/s  %.3f s  listed %zu  reached %zu  %s %s", round,
                      static_cast<double>(listed.size()) / seconds(r.elapsed), seconds(r.elapsed), listed.size(),
                      reached, ok ? "ok" : "MISMATCH", r.err.c_str());
        }
        std::fflush(stdout);
      }
    }

    const double n = static_cast<double>(site.listed.size());
    const double w_best = *std::min_element(window_times.begin(), window_times.end());
    const double t_best = *std::min_element(terminal_times.begin(), terminal_times.end());
    const double w_med = median(window_times);
    const double t_med = median(terminal_times);
    std::printf("\n%d rounds, %zu pages each (both listed the same pages: %s):\n", rounds, site.listed.size(),
                all_ok ? "yes" : "NO");
    std::printf("                     best              median\n");
    std::printf("  window         %7.0f pages/s   %7.0f pages/s   (%.3f s / %.3f s)\n", n / w_best, n / w_med, w_best,
                w_med);
    std::printf("  tovarin-crawl  %7.0f pages/s   %7.0f pages/s   (%.3f s / %.3f s)\n", n / t_best, n / t_med,
                t_best, t_med);
    const double over_best = w_best / t_best - 1;
    const double over_med = w_med / t_med - 1;
    std::printf("  window overhead  %+.1f %% (best)   %+.1f %% (median)   goal <= +%.0f %%: %s\n", 100 * over_best,
                100 * over_med, 100 * kGoalOverhead, over_med <= kGoalOverhead ? "met" : "NOT MET");

    breakdown(site, t_best);
    list_growth(site.listed.size());
    what_if(site, t_best);
  }
  tovarin::HttpSession::instance().close();
  return all_ok ? 0 : 1;
}
