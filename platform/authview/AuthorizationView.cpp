#include "platform/authview/AuthorizationView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QToolButton>

#include "platform/bundle/Bundle.h"
#include "platform/ui/Application.h"

namespace tvl::authview {

namespace {

// The program's own strings table carries the lock's texts, keyed by their English text.
QString text(const char* english) {
  return QString::fromStdString(bundle::Bundle::mainBundle().localizedStringForKey(english, ""));
}

// A padlock drawn with the palette's text colour: the shackle swings open when unlocked.
QIcon lockIcon(bool open, const QColor& color) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(color, 3));
  QPainterPath shackle;
  qreal left = open ? 16 : 9;
  shackle.moveTo(left, 15);
  shackle.lineTo(left, 10);
  shackle.arcTo(QRectF(left, 3, 14, 14), 180, -180);
  shackle.lineTo(left + 14, open ? 12 : 15);
  p.drawPath(shackle);
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawRoundedRect(QRectF(6, 15, 20, 15), 3, 3);
  return QIcon(pixmap);
}

int polkitCheck(auth::AuthorizationRef authorization, const std::string& right, bool interactive) {
  auth::AuthorizationFlags flags = interactive ? auth::kAuthorizationFlagExtendRights |
                                                     auth::kAuthorizationFlagInteractionAllowed
                                               : auth::kAuthorizationFlagDefaults;
  return auth::AuthorizationCopyRights(authorization, right.c_str(), flags);
}

}  // namespace

AuthorizationView::AuthorizationView(QWidget* parent) : QWidget(parent), rightsCheck_(polkitCheck) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  button_ = new QToolButton(this);
  button_->setObjectName("lockButton");
  button_->setIconSize(QSize(24, 24));
  button_->setAutoRaise(true);
  label_ = new QLabel(this);
  label_->setWordWrap(true);  // the note on a missing authentication agent is long
  layout->addWidget(button_);
  layout->addWidget(label_, 1);
  connect(button_, &QToolButton::clicked, this, [this] { clicked(); });

  auth::AuthorizationRef ref = nullptr;
  if (auth::AuthorizationCreate(nullptr, auth::kAuthorizationFlagDefaults, &ref) == 0)
    authorization_.reset(ref);
  setState(SFAuthorizationViewLockedState);
}

AuthorizationView::~AuthorizationView() = default;

void AuthorizationView::setRightsCheck(RightsCheck check) {
  rightsCheck_ = std::move(check);
}

void AuthorizationView::setTimerScheduler(ui::TimerScheduler* timers) {
  timers_ = timers;
}

void AuthorizationView::setString(const std::string& right) {
  right_ = right;
}

void AuthorizationView::setAutoupdate(bool autoupdate, double interval) {
  autoupdate_.reset();
  if (!autoupdate || interval <= 0) return;
  if (!timers_) {
    ownTimers_ = std::make_unique<ui::QtTimers>();
    timers_ = ownTimers_.get();
  }
  autoupdate_ = timers_->scheduledTimerWithTimeInterval(
      interval, [this] { updateStatus(); }, true);
}

void AuthorizationView::setDelegate(Delegate delegate) {
  delegate_ = std::move(delegate);
}

int AuthorizationView::check(bool interactive) {
  if (!authorization_ || right_.empty()) return auth::errAuthorizationInvalidSet;
  int result = auth::errAuthorizationInternal;
  auth::AuthorizationRef ref = authorization_.get();
  const std::string right = right_;
  const RightsCheck check = rightsCheck_;
  checking_ = true;
  ui::runWhileHandlingEvents([&] { result = check(ref, right, interactive); });
  checking_ = false;
  return result;
}

bool AuthorizationView::updateStatus() {
  // A dialog or a check is under way: its answer will be shown.
  if (checking_) return state_ == SFAuthorizationViewUnlockedState;
  // Only an open lock is checked again, and only to close it once polkit no longer grants
  // the right. polkit keeps a granted right for minutes and a rule may grant it outright:
  // asking while closed would open a lock the user (or Save, or Cancel) had just closed.
  if (state_ != SFAuthorizationViewUnlockedState) return false;
  int result = check(false);
  // Closed while it was being asked: that stands.
  if (state_ != SFAuthorizationViewUnlockedState) return false;
  if (result != 0) setState(SFAuthorizationViewLockedState);
  return result == 0;
}

bool AuthorizationView::authorize() {
  if (checking_) return false;
  int previous = state_;
  state_ = SFAuthorizationViewInProgressState;
  label_->setText(statusText());
  button_->setEnabled(false);
  int result = check(true);
  button_->setEnabled(true);
  state_ = previous;
  // polkit had nobody to ask for the password: say so, or the click seems to do nothing.
  noAgent_ = result == auth::errAuthorizationInteractionNotAllowed;
  setState(result == 0 ? SFAuthorizationViewUnlockedState : SFAuthorizationViewLockedState);
  return result == 0;
}

bool AuthorizationView::deauthorize() {
  noAgent_ = false;
  setState(SFAuthorizationViewLockedState, /*announce=*/false);
  // Closing is always announced, so whatever the lock guards starts disabled.
  if (delegate_.authorizationViewDidDeauthorize) delegate_.authorizationViewDidDeauthorize(*this);
  return true;
}

void AuthorizationView::setState(int state, bool announce) {
  bool wasUnlocked = state_ == SFAuthorizationViewUnlockedState;
  state_ = state;
  bool unlocked = state == SFAuthorizationViewUnlockedState;
  button_->setIcon(lockIcon(unlocked, palette().color(QPalette::WindowText)));
  button_->setToolTip(unlocked ? text("Click to lock") : text("Click to unlock"));
  // The button shows only a picture: a screen reader needs what it does in words.
  button_->setAccessibleName(unlocked ? text("Lock") : text("Unlock"));
  label_->setText(statusText());
  if (!announce) return;
  if (unlocked && !wasUnlocked && delegate_.authorizationViewDidAuthorize)
    delegate_.authorizationViewDidAuthorize(*this);
  if (!unlocked && wasUnlocked && delegate_.authorizationViewDidDeauthorize)
    delegate_.authorizationViewDidDeauthorize(*this);
}

QString AuthorizationView::statusText() const {
  switch (state_) {
    case SFAuthorizationViewUnlockedState:
      return text("Click the lock to prevent further changes.");
    case SFAuthorizationViewInProgressState:
      return text("Authenticating…");
    default:
      if (noAgent_)
        return text(
            "No authentication agent is running to ask for an administrator's password. GNOME, "
            "KDE Plasma, Xfce, MATE and LXQt start one; with another desktop, install one (the "
            "package lxpolkit, for example), have your session start it, and click the lock "
            "again.");
      return text("Click the lock to make changes.");
  }
}

void AuthorizationView::clicked() {
  if (state_ == SFAuthorizationViewUnlockedState)
    deauthorize();
  else
    authorize();
}

}  // namespace tvl::authview
