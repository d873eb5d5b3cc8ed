#pragma once
// The program's one window: the start address and depth boxes, the "Get"
// button, the result list and the two counters under it. A crawl runs inside
// the click handler of 按钮1 and drives the controls through a WindowHost.

#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <chrono>

#include "engine/crawl_engine.h"
#include "engine/crawl_host.h"
#include "engine/text.h"

namespace tovarin {

// The program's own icon, from the ui resources.
QIcon program_icon();

// Size of the window, frame and title bar included.
inline constexpr int kWindowWidth = 455;
inline constexpr int kWindowHeight = 367;

// The result list. It reports every left double-click in it, on an entry or
// not, after the first click of the pair has done its selecting.
class ResultList : public QListWidget {
  Q_OBJECT
 public:
  explicit ResultList(QWidget* parent);

  // The index of the selected entry, counted from 0, or -1 with none.
  int selected_index() const;
  // The entry's text exactly as it was listed; empty when `index` is below 0
  // or not below the number of entries.
  Text entry_text(int index) const;
  // Appends `address` as the new last entry; select_newest() selects it.
  void append(const Text& address);
  // If entries were appended since the last call, selects the newest one
  // and scrolls the list to it.
  void select_newest();
  void append_and_select(const Text& address) {
    append(address);
    select_newest();
  }
  // Removes every entry; nothing is selected afterwards.
  void clear_entries();

 signals:
  void double_click_select();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  bool newest_pending_ = false;
};

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  // Creates the window with its controls, not yet visible, and runs its
  // created event, which loads the engine's download types.
  explicit MainWindow(CrawlEngine& engine);
  ~MainWindow() override;

  // Runs a whole crawl from the two edit boxes; returns when it has ended.
  void start_button_clicked();

  // True once the window has been closed; it is gone for the crawl then,
  // even while the object itself still exists.
  bool is_closed() const { return closed_; }
  // True while start_button_clicked runs.
  bool is_crawling() const { return crawling_; }

  // The shortest time between two pumps of a crawl that handle events; the
  // pumps in between return at once.
  static constexpr std::chrono::milliseconds kPumpInterval{20};
  std::chrono::milliseconds pump_interval() const { return pump_interval_; }
  void set_pump_interval(std::chrono::milliseconds interval) { pump_interval_ = interval; }

  // The controls, named as in the window (object names too).
  QLabel* 标签1;
  QLabel* 标签2;
  QLabel* 标签3;
  QLabel* 标签4;
  QLabel* 标签5;
  QLabel* 标签6;
  QLineEdit* 编辑框1;
  QLineEdit* 编辑框2;
  QPushButton* 按钮1;
  ResultList* 列表框1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void window_created();
  // Once the window manager's frame is known, gives the client area the size
  // that makes frame plus client 455 x 367, and centres the frame again.
  void fit_to_frame();
  void centre_on_primary_screen();

  CrawlEngine& engine_;
  bool closed_ = false;
  bool crawling_ = false;
  bool frame_fitted_ = false;
  std::chrono::milliseconds pump_interval_ = kPumpInterval;
};

// CrawlHost on a MainWindow. It holds the window through a guard, so every
// operation stays harmless once the window has been closed or destroyed.
// On a fast network a crawl lists and pumps thousands of times a second:
// pumps handle events at most once per pump interval (the others return at
// once), and the newest entry is selected at each pump that handles events
// and when the crawl ends, which is before anything can look at the
// selection.
class WindowHost final : public CrawlHost {
 public:
  explicit WindowHost(MainWindow* window) : window_(window) {}
  // Selects the newest entry if a listing has not been shown yet.
  ~WindowHost() override;

  void clear_results() override;
  void add_result(const Text& address) override;
  void show_valid_count(std::int32_t n) override;
  void show_total_count(std::int32_t n) override;
  bool pump_events() override;
  void set_start_enabled(bool on) override;
  Text read_start_address() override;
  Text read_depth_text() override;

 private:
  // The window while it is open; nullptr once it has been closed.
  MainWindow* live() const;

  QPointer<MainWindow> window_;
  // Where the focus went when the focused start button was greyed out.
  QPointer<QWidget> focus_moved_to_;
  // When the last pump that handled events began.
  bool pumped_ = false;
  std::chrono::steady_clock::time_point last_pump_;
};

}  // namespace tovarin
