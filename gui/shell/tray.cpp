#include "gui/shell/tray.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QSettings>
#include <QSystemTrayIcon>

#include "gui/shell/resources.h"
#include "gui/strings.h"

namespace {

int g_availability = -1;

const char kNotifyKey[] = "tray/notifications";

QSettings UserSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morvane"),
                     QStringLiteral("Morvane"));
}

// The program's icon with the state as a dot in its lower right corner: green logged in, amber
// answering but not logged in, red not answering.
QIcon StateIcon(CMorvaneTray::State state)
{
    static QIcon drawn[3];
    if (!drawn[state].isNull())
        return drawn[state];
    const QColor dot = state == CMorvaneTray::kLoggedIn    ? QColor(0, 160, 0)
                       : state == CMorvaneTray::kAnswering ? QColor(230, 160, 0)
                                                           : QColor(224, 0, 0);
    const QIcon base = gui::AppIcon();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48}) {
        QPixmap pixmap = base.pixmap(size, size);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal d = size * 0.45;
        p.setPen(QPen(Qt::white, std::max(1.0, size / 16.0)));
        p.setBrush(dot);
        p.drawEllipse(QRectF(size - d - 0.5, size - d - 0.5, d, d));
        p.end();
        icon.addPixmap(pixmap);
    }
    drawn[state] = icon;
    return icon;
}

}  // namespace

CMorvaneTray::CMorvaneTray(QObject* parent) : QObject(parent)
{
    m_notify = UserSettings().value(QLatin1String(kNotifyKey), true).toBool();
    m_menu = new QMenu;
    QAction* show = m_menu->addAction(tr("显示 Morvane"));
    connect(show, &QAction::triggered, this, &CMorvaneTray::showRequested);
    m_stateAction = m_menu->addAction(QString());
    m_stateAction->setEnabled(false);
    m_menu->addSeparator();
    m_notifyAction = m_menu->addAction(tr("通知"));
    m_notifyAction->setCheckable(true);
    m_notifyAction->setChecked(m_notify);
    connect(m_notifyAction, &QAction::toggled, this, [this](bool on) { SetNotificationsOn(on); });
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(tr("退出"));
    connect(quit, &QAction::triggered, this, &CMorvaneTray::quitRequested);
    Refresh();
}

CMorvaneTray::~CMorvaneTray()
{
    delete m_icon;
    delete m_menu;
}

bool CMorvaneTray::Available()
{
    return g_availability >= 0 ? g_availability == 1 : QSystemTrayIcon::isSystemTrayAvailable();
}

void CMorvaneTray::SetAvailability(int available)
{
    g_availability = available;
}

bool CMorvaneTray::Show()
{
    if (!Available())
        return false;
    if (!m_icon) {
        m_icon = new QSystemTrayIcon;
        m_icon->setContextMenu(m_menu);
        connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                emit showRequested();
        });
        Refresh();
    }
    m_icon->show();
    return true;
}

bool CMorvaneTray::Shown() const
{
    return m_icon && m_icon->isVisible();
}

void CMorvaneTray::SetState(State state, const QString& account)
{
    if (state == m_state && account == m_account)
        return;
    m_state = state;
    m_account = account;
    Refresh();
}

QString CMorvaneTray::StateText() const
{
    if (m_state == kNotAnswering)
        return gui::Text(gui::IDS_SERVICE_DOWN);
    if (m_state == kLoggedIn && !m_account.isEmpty())
        return tr("已登录: %1").arg(m_account);
    return gui::Text(gui::IDS_SERVICE_UP);
}

void CMorvaneTray::Refresh()
{
    m_stateAction->setText(StateText());
    if (!m_icon)
        return;
    m_icon->setIcon(StateIcon(m_state));
    m_icon->setToolTip(QStringLiteral("Morvane - ") + StateText());
}

bool CMorvaneTray::Notify(const QString& text, bool failure)
{
    if (!m_notify || !Shown())
        return false;
    m_raised << text;
    while (m_raised.size() > kMaxKept)
        m_raised.removeFirst();
    m_icon->showMessage(QStringLiteral("Morvane"), text,
                        failure ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information, kNotificationMs);
    return true;
}

bool CMorvaneTray::NotifyOnce(const QString& key, const QString& text)
{
    QSettings settings = UserSettings();
    const QString name = QStringLiteral("tray/shown-") + key;
    if (settings.value(name, false).toBool() || !Notify(text, false))
        return false;
    settings.setValue(name, true);
    return true;
}

void CMorvaneTray::SetNotificationsOn(bool on)
{
    m_notify = on;
    if (m_notifyAction->isChecked() != on)
        m_notifyAction->setChecked(on);
    QSettings settings = UserSettings();
    settings.setValue(QLatin1String(kNotifyKey), on);
}
