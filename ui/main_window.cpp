#include "ui/main_window.h"

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QWindow>

#include "engine/encoding.h"
#include "ui/result_actions.h"

namespace tovarin {
namespace {

// Rows one pixel taller than the font's own line height, and no width of
// their own: the list never gets anything to scroll sideways, and text past
// the right edge is simply cut off.
class ResultRowDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    return QSize(1, option.fontMetrics.height() + 1);
  }
};

// Stored alongside each entry: the address exactly as it was listed, so a
// text that is not valid GBK comes back byte for byte.
constexpr int kTextRole = Qt::UserRole;

// An upper bound on dispatcher passes per pump, so that a timer which fires
// on every pass cannot hold the crawl forever.
constexpr int kMaxPumpPasses = 64;

QString to_qt(const Text& text) { return QString::fromUtf8(gbk_to_utf8(text)); }
Text from_qt(const QString& text) { return utf8_to_gbk(text.toUtf8().toStdString()); }

QLabel* make_label(QWidget* parent, const char* name, const char* text, int left, int top,
                   int width, int height) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromUtf8(name));
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  label->setWordWrap(false);
  label->setFocusPolicy(Qt::NoFocus);
  label->setGeometry(left, top, width, height);
  return label;
}

QLineEdit* make_edit(QWidget* parent, const char* name, const char* text, int left, int top,
                     int width, int height) {
  auto* edit = new QLineEdit(QString::fromUtf8(text), parent);
  edit->setObjectName(QString::fromUtf8(name));
  edit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  edit->setFrame(true);
  edit->setGeometry(left, top, width, height);
  return edit;
}

}  // namespace

ResultList::ResultList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSortingEnabled(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTextElideMode(Qt::ElideNone);
  setWordWrap(false);
  setUniformItemSizes(true);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setItemDelegate(new ResultRowDelegate(this));
}

int ResultList::selected_index() const {
  const QList<QListWidgetItem*> selected = selectedItems();
  return selected.isEmpty() ? -1 : row(selected.front());
}

Text ResultList::entry_text(int index) const {
  if (index < 0 || index >= count()) return Text();
  const QByteArray bytes = item(index)->data(kTextRole).toByteArray();
  return Text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void ResultList::append(const Text& address) {
  auto* entry = new QListWidgetItem(to_qt(address));
  entry->setData(kTextRole, QByteArray(address.data(), static_cast<qsizetype>(address.size())));
  addItem(entry);
  newest_pending_ = true;
}

void ResultList::select_newest() {
  if (!newest_pending_) return;
  newest_pending_ = false;
  const int last = count() - 1;
  if (last < 0) return;
  // The selection goes to the newest entry, whatever the user selected or
  // scrolled to in the meantime.
  QListWidgetItem* newest = item(last);
  setCurrentItem(newest, QItemSelectionModel::ClearAndSelect);
  scrollToItem(newest, QAbstractItemView::EnsureVisible);
}

void ResultList::clear_entries() {
  clear();
  newest_pending_ = false;
}

void ResultList::mouseDoubleClickEvent(QMouseEvent* event) {
  QListWidget::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) emit double_click_select();
}

MainWindow::MainWindow(CrawlEngine& engine) : QWidget(nullptr), engine_(engine) {
  setObjectName(QStringLiteral("MainWindow"));
  setWindowTitle(QStringLiteral("Tovarin"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowIcon(program_icon());
  // Until the window manager's frame is known the client area takes the
  // whole size; fit_to_frame() corrects it once the window is framed.
  setFixedSize(kWindowWidth, kWindowHeight);

  // Created in the order of the focus cycle, so that the window's own chain
  // starts out right; the explicit order below makes it certain.
  标签2 = make_label(this, "标签2", "网址", 24, 40, 56, 16);
  编辑框1 = make_edit(this, "编辑框1", "", 80, 32, 264, 24);
  按钮1 = new QPushButton(QStringLiteral("Get"), this);
  按钮1->setObjectName(QStringLiteral("按钮1"));
  按钮1->setGeometry(368, 24, 64, 32);
  按钮1->setAutoDefault(false);
  按钮1->setDefault(false);
  按钮1->setFocusPolicy(Qt::StrongFocus);
  标签1 = make_label(this, "标签1", "递归层数", 24, 80, 56, 16);
  编辑框2 = make_edit(this, "编辑框2", "2", 80, 72, 64, 24);
  列表框1 = new ResultList(this);
  列表框1->setObjectName(QStringLiteral("列表框1"));
  列表框1->setGeometry(24, 112, 392, 176);
  标签3 = make_label(this, "标签3", "有效：", 24, 304, 56, 16);
  标签5 = make_label(this, "标签5", "0", 88, 304, 96, 16);
  标签4 = make_label(this, "标签4", "总共：", 224, 304, 56, 16);
  标签6 = make_label(this, "标签6", "0", 288, 304, 96, 16);

  setTabOrder(编辑框1, 按钮1);
  setTabOrder(按钮1, 编辑框2);
  setTabOrder(编辑框2, 列表框1);
  编辑框1->setFocus(Qt::OtherFocusReason);

  // Esc closes the window wherever the focus is: the window looks at the key
  // before any control gets it.
  installEventFilter(this);
  for (QWidget* control : {static_cast<QWidget*>(编辑框1), static_cast<QWidget*>(按钮1),
                           static_cast<QWidget*>(编辑框2), static_cast<QWidget*>(列表框1)}) {
    control->installEventFilter(this);
  }

  connect(按钮1, &QPushButton::clicked, this, &MainWindow::start_button_clicked);
  connect(列表框1, &ResultList::double_click_select, this,
          [list = 列表框1] { result_double_clicked(*list); });

  centre_on_primary_screen();
  window_created();
}

MainWindow::~MainWindow() = default;

QIcon program_icon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/tovarin/icons/tovarin-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

void MainWindow::window_created() { engine_.load_download_types(); }

void MainWindow::start_button_clicked() {
  if (crawling_ || closed_) return;
  crawling_ = true;
  QPointer<MainWindow> self(this);
  {
    WindowHost host(this);
    engine_.start_crawl(host);
  }
  if (!self) return;
  crawling_ = false;
  // A window closed during the crawl was kept until now, so that nothing the
  // crawl or the button's own click handling still touches is gone.
  if (closed_) deleteLater();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  closed_ = true;
  if (!crawling_) deleteLater();
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  fit_to_frame();
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  fit_to_frame();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    close();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::centre_on_primary_screen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  // Integer division truncates toward zero, as the placement asks.
  move(area.x() + (area.width() - kWindowWidth) / 2,
       area.y() + (area.height() - kWindowHeight) / 2);
}

void MainWindow::fit_to_frame() {
  if (frame_fitted_ || !isVisible()) return;
  const QWindow* handle = windowHandle();
  if (handle == nullptr) return;
  const QMargins frame = handle->frameMargins();
  if (frame.isNull()) return;
  frame_fitted_ = true;
  setFixedSize(kWindowWidth - frame.left() - frame.right(),
               kWindowHeight - frame.top() - frame.bottom());
  centre_on_primary_screen();
}

MainWindow* WindowHost::live() const {
  MainWindow* window = window_.data();
  return window != nullptr && !window->is_closed() ? window : nullptr;
}

WindowHost::~WindowHost() {
  if (MainWindow* window = live()) window->列表框1->select_newest();
}

void WindowHost::clear_results() {
  if (MainWindow* window = live()) window->列表框1->clear_entries();
}

void WindowHost::add_result(const Text& address) {
  if (MainWindow* window = live()) window->列表框1->append(address);
}

void WindowHost::show_valid_count(std::int32_t n) {
  if (MainWindow* window = live()) window->标签5->setText(QString::number(n));
}

void WindowHost::show_total_count(std::int32_t n) {
  if (MainWindow* window = live()) window->标签6->setText(QString::number(n));
}

bool WindowHost::pump_events() {
  MainWindow* window = live();
  if (window == nullptr) return false;
  // On a fast network the crawl pumps thousands of times a second, and each
  // pump repaints what changed. Pumping at most once a frame keeps the window
  // as lively to the eye and to the hand and leaves the time to the crawl.
  const auto now = std::chrono::steady_clock::now();
  if (pumped_ && now - last_pump_ < window->pump_interval()) return true;
  pumped_ = true;
  last_pump_ = now;
  // Selecting an entry lays the whole list out again, so the newest entry
  // is selected here, once per pump, rather than at every listing. Nothing
  // can look at the selection before events are handled.
  window->列表框1->select_newest();
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr) return live() != nullptr;
  // Pass after pass until one finds nothing to do, so that events posted
  // while others were handled are handled in this same call. Never waits.
  for (int pass = 0; pass < kMaxPumpPasses; ++pass) {
    if (!dispatcher->processEvents(QEventLoop::AllEvents)) break;
    if (live() == nullptr) break;
  }
  return live() != nullptr;
}

void WindowHost::set_start_enabled(bool on) {
  MainWindow* window = live();
  if (window == nullptr) return;
  QPushButton* button = window->按钮1;
  if (!on) {
    // Greying out the focused button moves the focus on (to 编辑框2, with its
    // text selected). Remember where it went, to give it back afterwards.
    const bool had_focus = button->hasFocus();
    button->setEnabled(false);
    focus_moved_to_ = had_focus ? window->focusWidget() : nullptr;
    return;
  }
  button->setEnabled(true);
  // Unless the user has put the focus somewhere else during the crawl.
  if (focus_moved_to_ != nullptr && window->focusWidget() == focus_moved_to_) {
    button->setFocus(Qt::OtherFocusReason);
  }
  focus_moved_to_ = nullptr;
}

Text WindowHost::read_start_address() {
  MainWindow* window = live();
  return window != nullptr ? from_qt(window->编辑框1->text()) : Text();
}

Text WindowHost::read_depth_text() {
  MainWindow* window = live();
  return window != nullptr ? from_qt(window->编辑框2->text()) : Text();
}

}  // namespace tovarin
