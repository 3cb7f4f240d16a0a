// Status-bar item and menu with the semantics the controller is written for: entries
// addressed by position, each with a title, an action (a named operation of the target,
// or none), enabled, a state (off or on, shown as a check mark), an image by name and a
// tool tip; a delegate hook that runs each time the menu is about to open.
// On Linux the item is a QSystemTrayIcon (a status-notifier item or an XEmbed tray icon)
// and the menu a QMenu; both need a QApplication and the main thread.
#pragma once

#include <QPointer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace tvl::bundle {
class Bundle;
}

namespace tvl::ui {

// An image resource by name ("tvl.tif", "prefs"), found in a bundle's resources.
class Image {
 public:
  Image() = default;
  static Image named(const bundle::Bundle& bundle, const std::string& name);
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }  // "" when the bundle has none
  bool isNull() const { return path_.empty(); }
  QIcon icon() const;

 private:
  std::string name_, path_;
};

// The operation a menu entry performs: its name (for the record and for tests) and the
// call. An action with an empty name is no action.
struct Action {
  std::string name;
  std::function<void()> perform;
  explicit operator bool() const { return !name.empty() && perform != nullptr; }
};

enum class ControlState { Off = 0, On = 1 };

class MenuItem {
 public:
  bool isSeparatorItem() const { return separator_; }

  const std::string& title() const { return title_; }
  void setTitle(const std::string& title);
  // Setting an action also enables the entry, and clearing it disables it.
  const Action& action() const { return action_; }
  void setAction(Action action);
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);
  ControlState state() const { return state_; }
  void setState(ControlState state);
  const Image& image() const { return image_; }
  void setImage(const Image& image);
  const std::string& toolTip() const { return toolTip_; }
  void setToolTip(const std::string& toolTip);

  // Runs the action as a click on an enabled entry does; false when it has none or is
  // disabled.
  bool performAction();
  QAction* qAction() const { return action_q_; }

 private:
  friend class Menu;
  MenuItem(QAction* action, bool separator);
  QAction* action_q_;  // owned by the menu's QMenu
  bool separator_;
  std::string title_, toolTip_;
  Action action_;
  bool enabled_ = false;
  ControlState state_ = ControlState::Off;
  Image image_;
};

class Menu {
 public:
  explicit Menu(const std::string& title);
  ~Menu();
  Menu(const Menu&) = delete;
  Menu& operator=(const Menu&) = delete;

  const std::string& title() const { return title_; }
  // Adds an entry; it is enabled exactly when it has an action. The key equivalent is
  // kept for the record only.
  MenuItem* addItemWithTitle(const std::string& title, Action action,
                             const std::string& keyEquivalent = "");
  MenuItem* addSeparatorItem();
  // Null past the end.
  MenuItem* itemAtIndex(int index) const;
  int numberOfItems() const { return static_cast<int>(items_.size()); }
  // Runs before every opening of the menu.
  void setDelegate(std::function<void(Menu&)> menuNeedsUpdate);
  // What opening the menu does before it shows (for tests and the bench).
  void menuWillOpen();
  QMenu* qMenu() const { return menu_.get(); }

 private:
  std::string title_;
  std::unique_ptr<QMenu> menu_;
  std::vector<std::unique_ptr<MenuItem>> items_;
  std::function<void(Menu&)> delegate_;
};

class StatusItem {
 public:
  // A desktop may have no tray at all (GNOME without its extension). Once this is set (the
  // application does, before it makes its item), an item that finds no tray host a moment
  // after it was made offers its menu in a small window of its own with the menu's very
  // entries, and posts one desktop notification, noticeBody, that says where the menu is.
  // A tray host that appears later gets the icon, and the window goes. Unset (tests): the
  // item waits for a host without a window.
  static void offerMenuWindowWithoutTray(const std::string& noticeBody);

  // A variable-length item in the system status bar (the tray), shown from its first image.
  StatusItem();
  ~StatusItem();
  StatusItem(const StatusItem&) = delete;
  StatusItem& operator=(const StatusItem&) = delete;

  void setHighlightMode(bool on) { highlightMode_ = on; }  // the tray highlights by itself
  bool highlightMode() const { return highlightMode_; }
  const Image& image() const { return image_; }
  void setImage(const Image& image);
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);
  const std::string& toolTip() const { return toolTip_; }
  void setToolTip(const std::string& toolTip);
  Menu* menu() const { return menu_; }
  // The menu opens on a click on the item. The menu must outlive the item or be replaced.
  void setMenu(Menu* menu);
  // Takes the item out of the status bar.
  void remove();
  bool isVisible() const;
  QSystemTrayIcon* qTrayIcon() const { return tray_.get(); }

  // The window with the menu's entries, titled by the tool tip; the menu's delegate runs
  // as when the menu opens. Choosing an entry closes it, as it closes a menu.
  void showMenuWindow();
  QWidget* menuWindow() const { return window_.get(); }

 private:
  void lookForTrayHost();

  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QTimer> hostWatch_;
  std::unique_ptr<QWidget> window_;
  bool noticePosted_ = false;
  Image image_;
  std::string toolTip_;
  bool highlightMode_ = false, enabled_ = true, removed_ = false;
  Menu* menu_ = nullptr;
};

}  // namespace tvl::ui
