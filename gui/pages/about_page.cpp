#include <QBoxLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include <cstdio>
#include <utility>
#include <vector>

#include "gui/pages/pages.h"
#include "gui/messages.h"
#include "gui/shell/message_box.h"
#include "gui/shell/updater.h"
#include "gui/strings.h"
#include "platform/program.h"
#include "platform/version.h"

namespace {

const char kDescription[] = QT_TRANSLATE_NOOP(
    "CMorvaneAbout", "Morvane 让你的动态域名一直指向这台电脑的公网地址：后台的服务程序记住你打开的域名，"
                     "地址一变就通知域名服务商；它还能在路由器上打开端口，让外面的人找得到这台电脑上的服务。"
                     "这个窗口和终端里的 morvanectl 都只是告诉服务程序该做什么，关掉窗口它也照样工作。");

constexpr uint32_t kMaxVersionBlock = 2000;

// "当前版本" and ":" as one sentence, so a translation can put a space after the colon.
const char kVersionText[] = QT_TRANSLATE_NOOP("Morvane", "当前版本:%1");

std::function<bool()>& UpdateLauncher()
{
    static std::function<bool()> launcher;
    return launcher;
}

}  // namespace

CMorvaneAbout::CMorvaneAbout(QWidget* parent)
    : QWidget(parent), m_group(new QGroupBox(gui::Text(gui::IDS_TAB_ABOUT), this)),
      m_description(new QLabel(tr(kDescription), this)), m_version(new QLabel(this)),
      m_check(new QPushButton(tr("检查更新"), this))
{
    m_description->setWordWrap(true);
    m_description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_version->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_version->setMinimumHeight(22);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_check->setMinimumHeight(22);

    // The group, centred at the top, holds the description and the version row; the button keeps
    // its whole text, the version takes what is left.
    auto* versionRow = new QHBoxLayout;
    versionRow->setSpacing(2);
    versionRow->addWidget(m_version, 1);
    versionRow->addWidget(m_check);
    auto* inside = new QVBoxLayout(m_group);
    inside->setContentsMargins(10, 20, 10, 10);
    inside->setSpacing(8);
    inside->addWidget(m_description);
    inside->addLayout(versionRow);
    inside->addStretch(1);
    m_check->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_group->setMinimumHeight(200);
    m_group->setMaximumWidth(420);
    m_group->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(5, 10, 5, 5);
    page->addWidget(m_group, 0, Qt::AlignHCenter);
    page->addStretch(1);

    connect(m_check, &QPushButton::clicked, this, &CMorvaneAbout::OnCheckUpdate);

    QString version;
    if (!ReadVersionText(platform::ProgramPath(), version))
        version = gui::Sentence(kVersionText, {QString::fromLatin1(gui::BuildVersion())});
    m_version->setText(version);

    resize(369, 540);
}

CMorvaneAbout::~CMorvaneAbout() = default;

void CMorvaneAbout::OnCheckUpdate()
{
    const bool started = UpdateLauncher() ? UpdateLauncher()() : gui::LaunchUpdater(true);
    if (!started)
        gui::ShowMessageBox(NoUpdaterText());
}

QString CMorvaneAbout::NoUpdaterText()
{
    return tr("没有找到更新程序 %1，无法检查更新。用软件包安装的 Morvane 由系统更新（sudo apt update && sudo apt "
              "upgrade）。")
        .arg(QString::fromLatin1(gui::kUpdaterName));
}

void CMorvaneAbout::SetUpdateLauncher(std::function<bool()> launcher)
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
    text = gui::Sentence(kVersionText, {QString::fromUtf8(product.c_str())});
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
