#include "gui/shell/logon.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

#include <cstdio>

#include "gui/controls/hyperlink2.h"
#include "gui/controls/static_ex.h"
#include "gui/shell/main_dlg.h"
#include "gui/shell/message_box.h"
#include "gui/shell/resources.h"
#include "gui/strings.h"
#include "shared/base/md5.h"
#include "shared/xml/data_files.h"

namespace gui {

std::string PasswordDigest(const QString& password)
{
    const QByteArray bytes = password.toUtf8();
    std::string digest;
    if (!PasswordDigestGb2312(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), digest))
        return std::string();  // a character GB2312 lacks: refused by the callers
    return digest;
}

QString UnrepresentablePasswordText()
{
    return QString::fromUtf8("密码含有无法用GB2312表示的字符");
}

QString RecoveryUrl(const QString& account)
{
    return QString::fromUtf8(SiteUrl()) + QStringLiteral("index.php?action=takeback&username=") +
           QString::fromLatin1(QUrl::toPercentEncoding(account));
}

QString RegisterUrl()
{
    return QString::fromUtf8(SiteUrl()) + QStringLiteral("index.php?action=reg");
}

}  // namespace gui

namespace {

QString Text(int id)
{
    return QString::fromUtf8(gui::LoadStringText(id));
}

// The remembered pair, when both halves are there.
bool ReadRemembered(const std::string& userFile, std::string& account, std::string& digest)
{
    std::string user, pwd;
    if (!datafile::ReadLogin(userFile, user, pwd) || user.empty() || pwd.empty())
        return false;
    account = user;
    digest = pwd;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- login dialog

CMorvaneLogon::CMorvaneLogon(const std::string& userFile, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("登录"));
    setWindowIcon(gui::AppIcon());
    setFixedSize(330, 240);

    auto* banner = new QLabel(this);
    banner->setPixmap(gui::BannerPixmap(330, 60));
    banner->setGeometry(0, 0, 330, 60);

    auto* accountLabel = new QLabel(QString::fromUtf8("账号:"), this);
    accountLabel->setGeometry(30, 76, 48, 24);
    m_accountBox = new QComboBox(this);
    m_accountBox->setEditable(true);  // only the edit text is used; the list stays empty
    m_accountBox->setGeometry(80, 76, 160, 24);
    m_register = new CHyperLink2(QString::fromUtf8("注册新用户"), this);
    m_register->move(250, 80);
    m_register->SetURL(gui::RegisterUrl());

    auto* passwordLabel = new QLabel(QString::fromUtf8("密码:"), this);
    passwordLabel->setGeometry(30, 110, 48, 24);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setGeometry(80, 110, 160, 24);
    m_recover = new CStaticEx(QString::fromUtf8("找回密码"), this);
    m_recover->move(250, 114);
    m_recover->adjustSize();
    connect(m_recover, &CStaticEx::clicked, this, [this] { OnRecoverPassword(); });

    // Part of the dialog's design, never shown and never read.
    m_remember = new QCheckBox(QString::fromUtf8("记住密码"), this);
    m_remember->setGeometry(80, 140, 80, 20);
    m_remember->hide();
    m_autoLogin = new QCheckBox(QString::fromUtf8("自动登录"), this);
    m_autoLogin->setGeometry(170, 140, 80, 20);
    m_autoLogin->hide();

    m_error = new QLabel(this);
    m_error->setGeometry(30, 146, 270, 22);
    QPalette red = m_error->palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    m_error->setPalette(red);
    m_error->hide();

    m_ok = new QPushButton(QString::fromUtf8("确定"), this);
    m_ok->setGeometry(150, 196, 75, 26);
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QString::fromUtf8("取消"), this);
    m_cancel->setGeometry(235, 196, 75, 26);
    connect(m_ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    if (ReadRemembered(userFile, m_account, m_digest)) {
        m_accountBox->setEditText(QString::fromStdString(m_account));
        m_password->setText(QString::fromLatin1(gui::kRememberedPassword));
    }
}

bool CMorvaneLogon::OnOK()
{
    const QString account = m_accountBox->currentText();
    const QString password = m_password->text();
    if (account.isEmpty() || password.isEmpty()) {
        m_error->setText(Text(gui::IDS_EMPTY_CREDENTIALS));
        m_error->show();
        return false;
    }
    const std::string name = account.toStdString();
    if (name != m_account || password != QLatin1String(gui::kRememberedPassword)) {
        std::string digest = gui::PasswordDigest(password);
        if (digest.empty()) {
            m_error->setText(gui::UnrepresentablePasswordText());
            m_error->show();
            return false;
        }
        m_account = name;
        m_digest = digest;
    }
    accept();
    return true;
}

void CMorvaneLogon::OnRecoverPassword()
{
    gui::OpenUrl(gui::RecoveryUrl(m_accountBox->currentText()));
}

void CMorvaneLogon::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (qEnvironmentVariableIsSet("MORVANE_TRACE_STARTUP")) {
        std::fputs("startup: login dialog shown\n", stderr);
        std::fflush(stderr);
    }
}

// ---------------------------------------------------------------- login page

namespace {

// Where the controls sit relative to the group box (its size first).
constexpr QSize kGroupSize(250, 100);
constexpr QRect kAccountLabel(20, 28, 48, 24);
constexpr QRect kAccountBox(72, 28, 158, 24);
constexpr QRect kPasswordLabel(20, 62, 48, 24);
constexpr QRect kPasswordEdit(72, 62, 158, 24);
constexpr QRect kOk(80, 112, 75, 26);
constexpr QRect kCancel(165, 112, 75, 26);
constexpr QSize kProgressSize(140, 32);

}  // namespace

CMorvaneMainLogOnDlg::CMorvaneMainLogOnDlg(const std::string& userFile, CMorvaneMainDlg* owner)
    : QWidget(owner), m_owner(owner)
{
    m_group = new QGroupBox(QString::fromUtf8("登陆"), this);
    m_accountLabel = new QLabel(QString::fromUtf8("账号:"), this);
    m_accountBox = new QComboBox(this);
    m_accountBox->setEditable(true);
    m_passwordLabel = new QLabel(QString::fromUtf8("密码:"), this);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_ok = new QPushButton(QString::fromUtf8("确定"), this);
    m_cancel = new QPushButton(QString::fromUtf8("取消"), this);
    m_progress = new QPushButton(QString::fromUtf8("正在登陆..."), this);
    m_progress->setFocusPolicy(Qt::NoFocus);
    connect(m_ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { OnCancel(); });

    if (ReadRemembered(userFile, m_account, m_digest)) {
        m_accountBox->setEditText(QString::fromStdString(m_account));
        m_password->setText(QString::fromLatin1(gui::kRememberedPassword));
    }
    Layout();
}

void CMorvaneMainLogOnDlg::SetMode(int mode)
{
    m_mode = mode;
    if (mode == kFailed)
        m_group->setTitle(Text(gui::IDS_BAD_CREDENTIALS));
    Layout();
}

void CMorvaneMainLogOnDlg::Layout()
{
    QWidget* fields[] = {m_group, m_accountLabel, m_accountBox, m_passwordLabel, m_password, m_ok, m_cancel};
    if (m_mode == kWaiting) {
        for (QWidget* w : fields)
            w->hide();
        m_progress->setGeometry((width() - kProgressSize.width()) / 2, (height() - kProgressSize.height()) / 2,
                                kProgressSize.width(), kProgressSize.height());
        m_progress->show();
    } else if (m_mode == kFailed) {
        m_progress->hide();
        const QPoint origin((width() - kGroupSize.width()) / 2, (height() - kGroupSize.height()) / 2);
        m_group->setGeometry(QRect(origin, kGroupSize));
        m_accountLabel->setGeometry(kAccountLabel.translated(origin));
        m_accountBox->setGeometry(kAccountBox.translated(origin));
        m_passwordLabel->setGeometry(kPasswordLabel.translated(origin));
        m_password->setGeometry(kPasswordEdit.translated(origin));
        m_ok->setGeometry(kOk.translated(origin));
        m_cancel->setGeometry(kCancel.translated(origin));
        for (QWidget* w : fields)
            w->show();
        m_group->lower();
    }
}

bool CMorvaneMainLogOnDlg::OnOK()
{
    const QString account = m_accountBox->currentText();
    const QString password = m_password->text();
    if (account.isEmpty() || password.isEmpty()) {
        m_group->setTitle(Text(gui::IDS_EMPTY_CREDENTIALS));
        return false;
    }
    if (password != QLatin1String(gui::kRememberedPassword) || m_digest.empty()) {
        // "***" stands for the remembered digest only when there is one; otherwise it is a
        // password like any other.
        std::string digest = gui::PasswordDigest(password);
        if (digest.empty()) {
            m_group->setTitle(gui::UnrepresentablePasswordText());
            return false;
        }
        m_digest = digest;
    }
    m_account = account.toStdString();
    if (m_owner)
        m_owner->BeginLogin(m_account, m_digest);
    return true;
}

void CMorvaneMainLogOnDlg::OnCancel()
{
    if (m_owner)
        QMetaObject::invokeMethod(m_owner, &QWidget::close, Qt::QueuedConnection);
}

void CMorvaneMainLogOnDlg::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Layout();
}

void CMorvaneMainLogOnDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
