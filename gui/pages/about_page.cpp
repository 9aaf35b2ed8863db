#include <QBoxLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include <cstdio>
#include <utility>
#include <vector>

#include "gui/pages/pages.h"
#include "gui/shell/updater.h"
#include "gui/strings.h"
#include "platform/program.h"
#include "platform/version.h"

namespace {

const char kDescription[] = QT_TRANSLATE_NOOP(
    "CMorvaneAbout", "      我们可以为所有的网站提供单线路、多线路智能的域名解析服务，让电信用户访问电信的服务器，"
                     "网通的用户访问网通的服务器，达到互联互通的效果。 ");

constexpr uint32_t kMaxVersionBlock = 2000;

std::function<void()>& UpdateLauncher()
{
    static std::function<void()> launcher;
    return launcher;
}

}  // namespace

CMorvaneAbout::CMorvaneAbout(QWidget* parent)
    : QWidget(parent), m_group(new QGroupBox(tr("关于Morvane"), this)),
      m_description(new QLabel(tr(kDescription), this)), m_version(new QLabel(tr("静态"), this)),
      m_check(new QPushButton(tr("检查更新"), this))
{
    m_description->setWordWrap(true);
    m_description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_version->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_version->setMinimumSize(200, 22);
    m_check->setMinimumSize(80, 22);

    // The group, centred at the top, holds the description and the version row.
    auto* versionRow = new QHBoxLayout;
    versionRow->setSpacing(2);
    versionRow->addWidget(m_version, 1);
    versionRow->addWidget(m_check);
    auto* inside = new QVBoxLayout(m_group);
    inside->setContentsMargins(10, 20, 10, 10);
    inside->setSpacing(4);
    inside->addWidget(m_description);
    inside->addLayout(versionRow);
    inside->addStretch(1);
    m_group->setMinimumHeight(200);
    m_group->setMaximumWidth(330);
    m_group->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(5, 10, 5, 5);
    page->addWidget(m_group, 0, Qt::AlignHCenter);
    page->addStretch(1);

    connect(m_check, &QPushButton::clicked, this, &CMorvaneAbout::OnCheckUpdate);

    QString version;
    if (ReadVersionText(platform::ProgramPath(), version))
        m_version->setText(version);

    resize(369, 540);
}

CMorvaneAbout::~CMorvaneAbout() = default;

void CMorvaneAbout::OnCheckUpdate()
{
    if (UpdateLauncher())
        UpdateLauncher()();
    else
        gui::LaunchUpdater(true);
}

void CMorvaneAbout::SetUpdateLauncher(std::function<void()> launcher)
{
    UpdateLauncher() = std::move(launcher);
}

std::string CMorvaneAbout::VersionSubBlock(uint32_t key, const char* name)
{
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(key));
    return std::string("\\StringFileInfo\\") + hex + "\\" + name;
}

bool CMorvaneAbout::ReadVersionText(const std::string& path, QString& text)
{
    const uint32_t size = platform::VersionBlockSize(path);
    if (size == 0 || size > kMaxVersionBlock)
        return false;
    std::vector<uint8_t> block;
    if (!platform::ReadVersionBlock(path, block, kMaxVersionBlock))
        return false;
    uint16_t language = 0;
    uint16_t codePage = 0;
    if (!platform::VersionFirstTranslation(block, language, codePage))
        return false;
    const uint32_t key = static_cast<uint32_t>(language) << 16 | codePage;
    const uint8_t* value = nullptr;
    uint32_t valueSize = 0;
    std::string product;
    if (platform::VersionQueryValue(block, VersionSubBlock(key, "ProductVersion"), value, valueSize) && value) {
        const auto* chars = reinterpret_cast<const char*>(value);
        std::size_t n = 0;
        while (n < valueSize && chars[n] != '\0')
            ++n;
        product.assign(chars, n);
    }
    text = gui::Text(gui::IDS_CURRENT_VERSION) + QStringLiteral(":") + QString::fromUtf8(product.c_str());
    return true;
}

void CMorvaneAbout::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
