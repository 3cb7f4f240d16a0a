// The administrator lock of a window: a lock button bound to one right.
//
// Locked, it shows a closed lock; a click asks for the right with interaction, so the
// session's polkit agent asks for an administrator's password. Unlocked, a click locks it
// again. With auto-update on, an open lock asks for the right again without interaction
// every interval, so that an authorization that polkit no longer keeps locks the view by
// itself; a closed lock is never opened that way.
// The delegate hears of every change between locked and unlocked.
//
// The right is held by this process: the view's authorization names the process, and
// the helper tool the process starts is given its external form.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "platform/auth/Authorization.h"
#include "platform/ui/Timer.h"

class QLabel;
class QToolButton;

namespace tvl::authview {

// States, numbered as callers compare them.
enum AuthorizationViewState : int {
  SFAuthorizationStartupState = 0,
  SFAuthorizationViewLockedState = 1,
  SFAuthorizationViewInProgressState = 2,
  SFAuthorizationViewUnlockedState = 3,
};

class AuthorizationView : public QWidget {
  Q_OBJECT
 public:
  // Asks polkit for right on behalf of the authorization's process; 0 when granted
  // (auth::AuthorizationCopyRights). Replaceable for tests.
  using RightsCheck =
      std::function<int(auth::AuthorizationRef, const std::string& right, bool interactive)>;
  struct Delegate {
    std::function<void(AuthorizationView&)> authorizationViewDidAuthorize;
    std::function<void(AuthorizationView&)> authorizationViewDidDeauthorize;
  };

  explicit AuthorizationView(QWidget* parent = nullptr);
  ~AuthorizationView() override;

  void setRightsCheck(RightsCheck check);
  // The clock of the auto-update; the default is the real one.
  void setTimerScheduler(ui::TimerScheduler* timers);

  void setString(const std::string& right);
  const std::string& rightName() const { return right_; }
  void setAutoupdate(bool autoupdate, double interval);
  // An open lock asks again now, without interaction, and closes when refused; true when
  // it is (still) open.
  bool updateStatus();
  void setDelegate(Delegate delegate);
  // Asks for the right with interaction; true when it was granted.
  bool authorize();
  // Shows the lock closed. polkit may still keep an authorization it granted for a few
  // minutes: the next authorize() then succeeds without a dialog.
  bool deauthorize();
  int authorizationState() const { return state_; }
  // The underlying authorization; never null once the view exists.
  auth::AuthorizationRef authorizationRef() const { return authorization_.get(); }

  // The text beside the lock, for tests and screenshots.
  QString statusText() const;

 private:
  void clicked();
  // Runs the check off the main thread; the answer, or -60008 when the view is gone.
  int check(bool interactive);
  // Shows state; announces a change between locked and unlocked to the delegate.
  void setState(int state, bool announce = true);

  QToolButton* button_ = nullptr;
  QLabel* label_ = nullptr;
  auth::UniqueAuthorization authorization_;
  std::string right_;
  RightsCheck rightsCheck_;
  ui::TimerScheduler* timers_ = nullptr;
  std::unique_ptr<ui::TimerScheduler> ownTimers_;
  std::unique_ptr<ui::Timer> autoupdate_;
  Delegate delegate_;
  int state_ = SFAuthorizationStartupState;
  bool checking_ = false;
  bool noAgent_ = false;  // the last click found no authentication agent to ask
};

}  // namespace tvl::authview
