#include "platform/ui/Menu.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QFrame>
#include <QIcon>
#include <QMenu>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <map>

#include "platform/bundle/Bundle.h"
#include "platform/notify/DesktopNotifications.h"

namespace tvl::ui {

namespace {
QString q(const std::string& s) {
  return QString::fromStdString(s);
}

// Empty: no menu window without a tray. Never destroyed, like the other process-wide state.
std::string& menuWindowNotice() {
  static auto* notice = new std::string();
  return *notice;
}

// How often an item without a tray host looks for one. The first look also decides on the
// menu window: a tray started with the session gets that long to appear.
constexpr int kTrayHostWatchMs = 2000;

// The menu's entries as buttons that carry the entries' own actions: title, image, enabled
// state, check mark and tool tip follow the entries, and a click (or Space on the focused
// one) triggers them as the menu does. Choosing one closes the window, as it closes a menu.
std::unique_ptr<QWidget> makeMenuWindow(const Menu& menu) {
  auto window = std::make_unique<QWidget>();
  window->setObjectName("menuWindow");
  auto* layout = new QVBoxLayout(window.get());
  for (QAction* action : menu.qMenu()->actions()) {
    if (action->isSeparator()) {
      auto* line = new QFrame(window.get());
      line->setFrameShape(QFrame::HLine);
      line->setFrameShadow(QFrame::Sunken);
      layout->addWidget(line);
      continue;
    }
    auto* button = new QToolButton(window.get());
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::StrongFocus);
    QObject::connect(button, &QToolButton::triggered, window.get(), &QWidget::close);
    layout->addWidget(button);
  }
  // Escape closes it, as it closes a menu.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window.get());
  QObject::connect(escape, &QShortcut::activated, window.get(), &QWidget::close);
  return window;
}
}  // namespace

Image Image::named(const bundle::Bundle& bundle, const std::string& name) {
  Image image;
  image.name_ = name;
  image.path_ = bundle.pathForImageResource(name);
  return image;
}

QIcon Image::icon() const {
  if (path_.empty()) return QIcon();
  // One icon per file for the whole process. On an XEmbed tray Qt keeps memory for every
  // distinct icon it was given, for good: a new QIcon at each blink of the status item grew
  // the process by some 3.5 KB a change. Copies of one QIcon are the same icon to Qt.
  // Never destroyed: icons must not be torn down by the exit handlers after the
  // application's window system is gone. Used on the main thread only, as Qt's icons are.
  static auto* icons = new std::map<std::string, QIcon>();
  auto [it, added] = icons->try_emplace(path_);
  if (added) it->second = QIcon(q(path_));
  return it->second;
}

MenuItem::MenuItem(QAction* action, bool separator) : action_q_(action), separator_(separator) {}

void MenuItem::setTitle(const std::string& title) {
  title_ = title;
  action_q_->setText(q(title));
}

void MenuItem::setAction(Action action) {
  action_ = std::move(action);
  setEnabled(static_cast<bool>(action_));
}

void MenuItem::setEnabled(bool enabled) {
  enabled_ = enabled;
  action_q_->setEnabled(enabled);
}

void MenuItem::setState(ControlState state) {
  state_ = state;
  // Only an entry that is on shows a mark, as in a status menu.
  action_q_->setCheckable(state == ControlState::On);
  action_q_->setChecked(state == ControlState::On);
}

void MenuItem::setImage(const Image& image) {
  image_ = image;
  action_q_->setIcon(image.icon());
}

void MenuItem::setToolTip(const std::string& toolTip) {
  toolTip_ = toolTip;
  action_q_->setToolTip(q(toolTip));
}

bool MenuItem::performAction() {
  if (!enabled_ || !action_) return false;
  // Copy: the action may replace this entry's action.
  auto perform = action_.perform;
  perform();
  return true;
}

Menu::Menu(const std::string& title) : title_(title), menu_(std::make_unique<QMenu>()) {
  menu_->setTitle(q(title));
  menu_->setToolTipsVisible(true);
  QObject::connect(menu_.get(), &QMenu::aboutToShow, [this] { menuWillOpen(); });
}

Menu::~Menu() = default;

MenuItem* Menu::addItemWithTitle(const std::string& title, Action action,
                                 const std::string& /*keyEquivalent*/) {
  QAction* qa = menu_->addAction(q(title));
  // Seen by the menu as its own: the check mark is ours to show, tool tips are not titles.
  qa->setToolTip(QString());
  std::unique_ptr<MenuItem> item(new MenuItem(qa, false));
  item->title_ = title;
  MenuItem* raw = item.get();
  QObject::connect(qa, &QAction::triggered, [raw] { raw->performAction(); });
  item->setAction(std::move(action));
  items_.push_back(std::move(item));
  return raw;
}

MenuItem* Menu::addSeparatorItem() {
  std::unique_ptr<MenuItem> item(new MenuItem(menu_->addSeparator(), true));
  items_.push_back(std::move(item));
  return items_.back().get();
}

MenuItem* Menu::itemAtIndex(int index) const {
  if (index < 0 || index >= numberOfItems()) return nullptr;
  return items_[static_cast<size_t>(index)].get();
}

void Menu::setDelegate(std::function<void(Menu&)> menuNeedsUpdate) {
  delegate_ = std::move(menuNeedsUpdate);
}

void Menu::menuWillOpen() {
  if (delegate_) delegate_(*this);
}

void StatusItem::offerMenuWindowWithoutTray(const std::string& noticeBody) {
  menuWindowNotice() = noticeBody;
}

StatusItem::StatusItem() : tray_(std::make_unique<QSystemTrayIcon>()) {
  // A click opens the menu, as on a status bar; the context click does so by itself.
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger && enabled_ && menu_)
                       menu_->qMenu()->popup(QCursor::pos());
                   });
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    hostWatch_ = std::make_unique<QTimer>();
    hostWatch_->setInterval(kTrayHostWatchMs);
    QObject::connect(hostWatch_.get(), &QTimer::timeout, [this] { lookForTrayHost(); });
    hostWatch_->start();
  }
}

void StatusItem::lookForTrayHost() {
  if (removed_) {
    hostWatch_->stop();
    return;
  }
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    // Qt shows the icon there by itself. The icon is where the menu is from now on.
    hostWatch_->stop();
    if (window_) window_->close();
    return;
  }
  if (!noticePosted_ && !menuWindowNotice().empty() && menu_) {
    noticePosted_ = true;
    showMenuWindow();
    // Not waited for: without a notification server nothing hangs.
    notify::DesktopNotification notice;
    notice.applicationName = QCoreApplication::applicationName();
    notice.iconName = q(image_.path());
    notice.summary = q(toolTip_);
    notice.body = q(menuWindowNotice());
    notify::DesktopNotifications::defaultNotifications()->notify(notice);
  }
}

void StatusItem::showMenuWindow() {
  if (removed_ || !menu_) return;
  // Kept while the menu stays: the call may come while one of its buttons is being handled.
  if (!window_) {
    window_ = makeMenuWindow(*menu_);
    window_->setWindowTitle(q(toolTip_));
    window_->setWindowIcon(image_.icon());
  }
  menu_->menuWillOpen();
  window_->show();
  window_->raise();
  window_->activateWindow();
}

StatusItem::~StatusItem() = default;

void StatusItem::setImage(const Image& image) {
  image_ = image;
  tray_->setIcon(image.icon());
  // Shown once it has something to show, and never again after it was removed.
  if (!removed_ && !tray_->isVisible()) tray_->show();
}

void StatusItem::setEnabled(bool enabled) {
  enabled_ = enabled;
  tray_->setContextMenu(enabled && menu_ ? menu_->qMenu() : nullptr);
}

void StatusItem::setToolTip(const std::string& toolTip) {
  toolTip_ = toolTip;
  tray_->setToolTip(q(toolTip));
  if (window_) window_->setWindowTitle(q(toolTip));
}

void StatusItem::setMenu(Menu* menu) {
  // The window shows the entries of one menu; it goes before that menu does.
  if (menu != menu_) window_.reset();
  menu_ = menu;
  tray_->setContextMenu(enabled_ && menu ? menu->qMenu() : nullptr);
}

void StatusItem::remove() {
  removed_ = true;
  tray_->hide();
  if (window_) window_->close();
}

bool StatusItem::isVisible() const {
  return tray_->isVisible();
}

}  // namespace tvl::ui
