#pragma once
// The program's icon in the desktop's system tray: it shows whether the service answers and whether
// we are logged in, raises a notification when an update fails or the public address changes, and
// holds the menu (show the window, the state, notifications on or off, quit). Where the desktop has
// no tray nothing is shown, and the window is the only way in.
//
// Whether notifications are on is the user's own setting (Morvane/Morvane.conf under the user's
// configuration directory), never a shared data file.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;

class CMorvaneTray : public QObject {
    Q_OBJECT
public:
    enum State { kNotAnswering = 0, kAnswering = 1, kLoggedIn = 2 };
    // The notifications kept for the menu's tests and the tooltip; older ones go first.
    static constexpr int kMaxKept = 20;
    static constexpr int kNotificationMs = 8000;

    explicit CMorvaneTray(QObject* parent = nullptr);
    ~CMorvaneTray() override;

    // Whether the desktop offers a tray. Tests may decide: 1 yes, 0 no, -1 ask the desktop.
    static bool Available();
    static void SetAvailability(int available);

    // Puts the icon into the tray when there is one; true when it is there.
    bool Show();
    bool Shown() const;

    void SetState(State state, const QString& account = {});
    State CurrentState() const { return m_state; }
    // The state in words, as the menu and the tooltip show it.
    QString StateText() const;

    // A notification, when they are on and there is a tray; `failure` picks the warning icon.
    // True when it was raised.
    bool Notify(const QString& text, bool failure);
    // The same, once for this user ever (remembered under `key` in the user's settings).
    bool NotifyOnce(const QString& key, const QString& text);
    bool NotificationsOn() const { return m_notify; }
    void SetNotificationsOn(bool on);
    // The notifications raised so far (at most kMaxKept, the newest last).
    const QStringList& Raised() const { return m_raised; }

    QSystemTrayIcon* Icon() const { return m_icon; }
    QMenu* Menu() const { return m_menu; }
    QAction* NotifyAction() const { return m_notifyAction; }

signals:
    void showRequested();
    void quitRequested();

private:
    void Refresh();

    QSystemTrayIcon* m_icon = nullptr;
    QMenu* m_menu = nullptr;
    QAction* m_stateAction = nullptr;
    QAction* m_notifyAction = nullptr;
    State m_state = kAnswering;
    QString m_account;
    bool m_notify = true;
    QStringList m_raised;
};
