#include "platform/ui/Menu.h"

#include <QAction>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include <map>

#include "platform/bundle/Bundle.h"

namespace ui {

namespace {
QString q(const std::string& s) {
  return QString::fromStdString(s);
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

StatusItem::StatusItem() : tray_(std::make_unique<QSystemTrayIcon>()) {
  // A click opens the menu, as on a status bar; the context click does so by itself.
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger && enabled_ && menu_)
                       menu_->qMenu()->popup(QCursor::pos());
                   });
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
}

void StatusItem::setMenu(Menu* menu) {
  menu_ = menu;
  tray_->setContextMenu(enabled_ && menu ? menu->qMenu() : nullptr);
}

void StatusItem::remove() {
  removed_ = true;
  tray_->hide();
}

bool StatusItem::isVisible() const {
  return tray_->isVisible();
}

}  // namespace ui
