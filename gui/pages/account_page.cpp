#include "gui/pages/account_page.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QSpinBox>

#include <algorithm>
#include <utility>

#include "gui/messages.h"
#include "shared/channel/dns_listener.h"
#include "shared/packet/commands.h"

namespace {

using gui::Sentence;

// Each kind's name on screen; the table's own name where none is given here.
QString KindTitle(const char* name)
{
    if (QLatin1String(name) == QLatin1String("web-service"))
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "Morvane 网络服务(默认)"));
    if (QLatin1String(name) == QLatin1String("dyndns2"))
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "dyndns2 账户"));
    if (QLatin1String(name) == QLatin1String("cloudflare"))
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "Cloudflare(API 令牌)"));
    if (QLatin1String(name) == QLatin1String("duckdns"))
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "DuckDNS(令牌)"));
    if (QLatin1String(name) == QLatin1String("nsupdate"))
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "DNS 动态更新(nsupdate,TSIG 密钥)"));
    if (QLatin1String(name) == QLatin1String("url"))
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "自定义网址(url)"));
    return QString::fromLatin1(name);
}

bool Is(const ProviderKindInfo* kind, const char* name)
{
    return kind && QLatin1String(kind->name) == QLatin1String(name);
}

const ProviderKindInfo* KindAt(int index)
{
    return index >= 0 && static_cast<size_t>(index) < std::size(kProviderKinds) ? &kProviderKinds[index] : nullptr;
}

QStringList Words(const QString& text)
{
    return text.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
}

std::vector<std::string> ToStrings(const QStringList& list)
{
    std::vector<std::string> out;
    for (const QString& s : list)
        out.push_back(s.toStdString());
    return out;
}

QString Joined(const std::vector<std::string>& list)
{
    QStringList out;
    for (const std::string& s : list)
        out << QString::fromStdString(s);
    return out.join(QLatin1Char(' '));
}

}  // namespace

CAccountPage::CAccountPage(CDnsListener* channel, QWidget* parent)
    : QWidget(parent), m_channel(channel), m_accountGroup(new QGroupBox(tr("账户"))), m_account(new QLabel),
      m_logOut(new QPushButton(tr("退出登录"))), m_switch(new QPushButton(tr("切换账户"))),
      m_providerGroup(new QGroupBox(tr("域名服务商"))), m_kind(new QComboBox), m_serverLabel(new QLabel(tr("服务器:"))),
      m_server(new QLineEdit), m_userLabel(new QLabel(tr("账号:"))), m_user(new QLineEdit),
      m_passwordLabel(new QLabel(tr("密码:"))), m_password(new QLineEdit), m_hostsLabel(new QLabel(tr("域名:"))),
      m_hosts(new QLineEdit), m_source(new QComboBox), m_checkIpLabel(new QLabel(tr("查询网址:"))),
      m_checkIp(new QLineEdit), m_interfaceLabel(new QLabel(tr("网卡:"))), m_interface(new QLineEdit),
      m_router(new QCheckBox(tr("也问路由器(UPnP/NAT-PMP)"))), m_caFile(new QLineEdit), m_zone(new QLineEdit),
      m_keyName(new QLineEdit), m_keyAlgorithm(new QComboBox), m_ttl(new QSpinBox), m_proxied(new QComboBox),
      m_success(new QLineEdit), m_save(new QPushButton(tr("保存"))), m_test(new QPushButton(tr("测试"))),
      m_result(new QLabel)
{
    for (const ProviderKindInfo& kind : kProviderKinds)
        m_kind->addItem(KindTitle(kind.name), QString::fromLatin1(kind.name));
    m_source->addItems({tr("公网地址查询网址"), tr("本机网卡的地址"), tr("只问路由器")});
    m_password->setEchoMode(QLineEdit::Password);
    m_keyAlgorithm->addItems({QStringLiteral("hmac-sha256"), QStringLiteral("hmac-sha512"),
                              QStringLiteral("hmac-sha384"), QStringLiteral("hmac-sha224"), QStringLiteral("hmac-sha1"),
                              QStringLiteral("hmac-md5")});
    m_ttl->setRange(0, 86400);
    m_ttl->setSuffix(tr(" 秒"));
    m_ttl->setSpecialValueText(tr("默认"));
    m_proxied->addItems({tr("不改"), tr("是"), tr("否")});
    m_success->setPlaceholderText(tr("留空则任何 2xx 回答都算成功"));
    m_hosts->setPlaceholderText(tr("用空格分隔多个域名"));
    m_checkIp->setPlaceholderText(tr("留空则用内置的网址"));
    m_caFile->setPlaceholderText(tr("留空则用系统的证书"));
    m_account->setWordWrap(true);
    m_result->setWordWrap(true);
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* accountRow = new QHBoxLayout(m_accountGroup);
    accountRow->addWidget(m_account, 1);
    accountRow->addWidget(m_switch);
    accountRow->addWidget(m_logOut);

    auto* form = m_form = new QFormLayout;
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->addRow(tr("类型:"), m_kind);
    form->addRow(m_serverLabel, m_server);
    form->addRow(m_userLabel, m_user);
    form->addRow(m_passwordLabel, m_password);
    form->addRow(tr("区域:"), m_zone);
    form->addRow(tr("密钥名:"), m_keyName);
    form->addRow(tr("算法:"), m_keyAlgorithm);
    form->addRow(tr("TTL:"), m_ttl);
    form->addRow(tr("经 Cloudflare 代理:"), m_proxied);
    form->addRow(tr("成功的回答含有:"), m_success);
    form->addRow(m_hostsLabel, m_hosts);
    form->addRow(tr("地址来源:"), m_source);
    form->addRow(m_checkIpLabel, m_checkIp);
    form->addRow(m_interfaceLabel, m_interface);
    form->addRow(QString(), m_router);
    form->addRow(tr("CA 证书文件:"), m_caFile);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_test);
    buttons->addWidget(m_save);
    auto* provider = new QVBoxLayout(m_providerGroup);
    provider->addLayout(form);
    provider->addLayout(buttons);
    provider->addWidget(m_result);

    // Scrolls in a small window rather than squeezing the fields.
    auto* inner = new QWidget;
    auto* column = new QVBoxLayout(inner);
    column->setContentsMargins(10, 6, 10, 6);
    column->addWidget(m_accountGroup);
    column->addWidget(m_providerGroup);
    column->addStretch(1);
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(inner);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->addWidget(scroll);

    connect(m_kind, &QComboBox::currentIndexChanged, this, [this] { ShowFields(); });
    connect(m_source, &QComboBox::currentIndexChanged, this, [this] { ShowFields(); });
    connect(m_save, &QPushButton::clicked, this, &CAccountPage::OnSave);
    connect(m_test, &QPushButton::clicked, this, &CAccountPage::OnTest);
    connect(m_logOut, &QPushButton::clicked, this, &CAccountPage::logOutRequested);
    connect(m_switch, &QPushButton::clicked, this, &CAccountPage::switchRequested);
    SetAccount({});
    ShowFields();
}

CAccountPage::~CAccountPage() = default;

void CAccountPage::SetAccount(const QString& user)
{
    m_loggedIn = !user.isEmpty();
    m_account->setText(m_loggedIn ? Sentence(QT_TRANSLATE_NOOP("Morvane", "已登录: %1"), {user})
                                  : Sentence(QT_TRANSLATE_NOOP("Morvane", "没有登录;服务程序不更新任何域名")));
    m_logOut->setVisible(m_loggedIn);
    m_switch->setText(m_loggedIn ? tr("切换账户") : tr("登录"));
}

void CAccountPage::ShowSettings(bool readable, const ProviderSettings& s)
{
    int kind = m_kind->findData(QString::fromStdString(s.kind));
    m_kind->setCurrentIndex(kind < 0 ? 0 : kind);
    m_server->setText(QString::fromStdString(s.server));
    m_user->setText(QString::fromStdString(s.user));
    // Never shown again: the field stays empty, and saying so keeps the stored one.
    m_password->clear();
    m_passwordStored = s.passwordStored;
    m_storedUser = QString::fromStdString(s.user);
    m_storedServer = QString::fromStdString(s.server);
    m_password->setPlaceholderText(s.passwordStored ? tr("已保存;留空则不变") : QString());
    m_storedKind = QString::fromStdString(s.kind);
    m_storedKeyName = QString::fromStdString(s.keyName);
    m_hosts->setText(Joined(s.hosts));
    m_zone->setText(QString::fromStdString(s.zone));
    m_keyName->setText(QString::fromStdString(s.keyName));
    const int algorithm = m_keyAlgorithm->findText(QString::fromStdString(s.keyAlgorithm));
    m_keyAlgorithm->setCurrentIndex(algorithm < 0 ? 0 : algorithm);
    m_ttl->setValue(static_cast<int>(std::min<uint32_t>(s.ttl, 86400)));
    m_proxied->setCurrentIndex(s.proxied < 0 ? 0 : s.proxied ? 1 : 2);
    m_success->setText(QString::fromStdString(s.success));
    m_checkIp->setText(Joined(s.checkIp));
    m_interface->setText(QString::fromStdString(s.interfaceName));
    m_router->setChecked(s.router);
    m_caFile->setText(QString::fromStdString(s.caFile));
    if (!s.interfaceName.empty())
        m_source->setCurrentIndex(kSourceInterface);
    else if (s.checkIp.empty() && !s.checkIpDefaults && s.router)
        m_source->setCurrentIndex(kSourceRouter);
    else
        m_source->setCurrentIndex(kSourceCheckIp);
    ShowFields();
    if (!readable)
        SetResult(false, Sentence(QT_TRANSLATE_NOOP("Morvane", "服务程序读不了它的服务商设置,保存会替换它。")));
}

ProviderSettings CAccountPage::Settings() const
{
    ProviderSettings s;
    const ProviderKindInfo* kind = KindAt(m_kind->currentIndex());
    s.kind = kind ? kind->name : kProviderKinds[0].name;
    const unsigned fields = kind ? kind->fields : 0;
    if (fields & kFieldServer)
        s.server = m_server->text().trimmed().toStdString();
    if (fields & kFieldUser)
        s.user = m_user->text().trimmed().toStdString();
    if (fields & kFieldSecret)
        s.password = m_password->text().toStdString();
    if (fields & kFieldHosts)
        s.hosts = ToStrings(Words(m_hosts->text()));
    if (fields & kFieldZone)
        s.zone = m_zone->text().trimmed().toStdString();
    if (fields & kFieldKey) {
        s.keyName = m_keyName->text().trimmed().toStdString();
        s.keyAlgorithm = m_keyAlgorithm->currentText().toStdString();
    }
    if (fields & kFieldTtl)
        s.ttl = static_cast<uint32_t>(m_ttl->value());
    if (fields & kFieldProxied)
        s.proxied = m_proxied->currentIndex() == 0 ? -1 : m_proxied->currentIndex() == 1 ? 1 : 0;
    if (fields & kFieldSuccess)
        s.success = m_success->text().toStdString();
    switch (m_source->currentIndex()) {
    case kSourceInterface:
        s.interfaceName = m_interface->text().trimmed().toStdString();
        s.router = false;
        break;
    case kSourceRouter:
        s.checkIpDefaults = false;
        s.router = true;
        break;
    default:
        s.checkIp = ToStrings(Words(m_checkIp->text()));
        s.router = m_router->isChecked();
        break;
    }
    s.caFile = m_caFile->text().trimmed().toStdString();
    return s;
}

void CAccountPage::ShowFields()
{
    const ProviderKindInfo* kind = KindAt(m_kind->currentIndex());
    const unsigned fields = kind ? kind->fields : 0;
    const std::pair<QWidget*, unsigned> rows[] = {
        {m_server, kFieldServer},   {m_user, kFieldUser},      {m_password, kFieldSecret},  {m_hosts, kFieldHosts},
        {m_zone, kFieldZone},       {m_keyName, kFieldKey},    {m_keyAlgorithm, kFieldKey}, {m_ttl, kFieldTtl},
        {m_proxied, kFieldProxied}, {m_success, kFieldSuccess}};
    for (const auto& [field, flag] : rows)
        m_form->setRowVisible(field, (fields & flag) != 0);
    // The same rows carry each kind's own words.
    m_serverLabel->setText(Is(kind, "cloudflare") ? tr("API 网址:")
                           : Is(kind, "url")      ? tr("网址模板:")
                                                  : tr("服务器:"));
    m_server->setPlaceholderText(Is(kind, "cloudflare") ? tr("留空则用 Cloudflare 自己的 API")
                                 : Is(kind, "duckdns")  ? tr("留空则用 DuckDNS 自己的服务器")
                                 : Is(kind, "nsupdate") ? QStringLiteral("ns1.example.net:53")
                                 : Is(kind, "url")
                                     ? QStringLiteral("https://dns.example.net/update?host={host}&ip={ipv4}")
                                     : QStringLiteral("https://dyndns.example.net/nic/update"));
    m_passwordLabel->setText(Is(kind, "cloudflare") || Is(kind, "duckdns") ? tr("令牌:")
                             : Is(kind, "nsupdate")                        ? tr("密钥:")
                                                                           : tr("密码:"));
    const int source = m_source->currentIndex();
    m_checkIpLabel->setVisible(source == kSourceCheckIp);
    m_checkIp->setVisible(source == kSourceCheckIp);
    m_router->setVisible(source == kSourceCheckIp);
    m_interfaceLabel->setVisible(source == kSourceInterface);
    m_interface->setVisible(source == kSourceInterface);
}

void CAccountPage::SetResult(bool ok, const QString& text)
{
    m_result->setText(text);
    m_result->setStyleSheet(ok ? QString() : QStringLiteral("color:#c00000"));
}

void CAccountPage::OnSave()
{
    const ProviderSettings s = Settings();
    // Said here rather than by the service: another kind, account, server or key needs its secret.
    const bool sameAccount = QString::fromStdString(s.kind) == m_storedKind &&
                             QString::fromStdString(s.user) == m_storedUser &&
                             QString::fromStdString(s.server) == m_storedServer &&
                             QString::fromStdString(s.keyName) == m_storedKeyName && m_passwordStored;
    const ProviderKindInfo* kind = KindAt(m_kind->currentIndex());
    if (kind && (kind->fields & kFieldSecret) && s.password.empty() && !sameAccount) {
        SetResult(false, Sentence(QT_TRANSLATE_NOOP("Morvane", "请输入这个账户的密码。")));
        m_password->setFocus();
        return;
    }
    if (!m_channel || !m_channel->SendProviderSettings(s)) {
        SetResult(false, Sentence(QT_TRANSLATE_NOOP("Morvane", "设置没有送到服务程序。")));
        return;
    }
    SetResult(true, Sentence(QT_TRANSLATE_NOOP("Morvane", "正在保存...")));
    emit sent(CMD_SET_PROVIDER);
}

void CAccountPage::OnTest()
{
    if (!m_channel || !m_channel->RequestProviderTest()) {
        SetResult(false, Sentence(QT_TRANSLATE_NOOP("Morvane", "请求没有送到服务程序。")));
        return;
    }
    SetResult(true, Sentence(QT_TRANSLATE_NOOP("Morvane", "正在测试...")));
    emit sent(CMD_TEST_PROVIDER);
}

void CAccountPage::ShowSaveResult(bool ok, const QString& problem)
{
    if (ok) {
        m_password->clear();
        SetResult(true, Sentence(QT_TRANSLATE_NOOP("Morvane", "已保存。服务程序下次查询时使用新的设置。")));
        return;
    }
    SetResult(false, Sentence(QT_TRANSLATE_NOOP("Morvane", "没有保存: %1"), {problem}));
}

void CAccountPage::ShowTestResult(bool ok, const QString& words)
{
    SetResult(ok, ok ? Sentence(QT_TRANSLATE_NOOP("Morvane", "测试通过: %1"), {words})
                     : Sentence(QT_TRANSLATE_NOOP("Morvane", "测试失败: %1"), {words}));
}
