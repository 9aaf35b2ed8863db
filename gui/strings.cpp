#include "gui/strings.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <cstdlib>
#include <string>

#ifndef MORVANE_BUILD_VERSION
#define MORVANE_BUILD_VERSION ""
#endif
#ifndef MORVANE_SITE_DEFAULT_HOST
#define MORVANE_SITE_DEFAULT_HOST "127.0.0.1"
#endif

namespace gui {

const char* LoadStringText(int id)
{
    switch (id) {
    case IDS_EMPTY_CREDENTIALS: return QT_TRANSLATE_NOOP("Morvane", "用户名和密码不能为空");
    case IDS_TAB_DOMAINS: return QT_TRANSLATE_NOOP("Morvane", "动态域名管理");
    case IDS_TAB_ABOUT: return QT_TRANSLATE_NOOP("Morvane", "关于Morvane");
    case IDS_START_RESOLVE: return QT_TRANSLATE_NOOP("Morvane", "开始解析");
    case IDS_STOP_RESOLVE: return QT_TRANSLATE_NOOP("Morvane", "停止解析");
    case IDS_COL_START_STOP: return QT_TRANSLATE_NOOP("Morvane", "开始/停止");
    case IDS_COL_DOMAIN: return QT_TRANSLATE_NOOP("Morvane", "域名");
    case IDS_COL_STATE: return QT_TRANSLATE_NOOP("Morvane", "状态");
    case IDS_BAD_CREDENTIALS: return QT_TRANSLATE_NOOP("Morvane", "用户名和密码出错");
    case IDS_NET_TELECOM: return QT_TRANSLATE_NOOP("Morvane", "中国电信");
    case IDS_NET_NETCOM: return QT_TRANSLATE_NOOP("Morvane", "中国网通");
    case IDS_NET_UNKNOWN: return QT_TRANSLATE_NOOP("Morvane", "未知");
    case IDS_NET_DYNAMIC: return QT_TRANSLATE_NOOP("Morvane", "动态");
    case IDS_NET_EDUCATION: return QT_TRANSLATE_NOOP("Morvane", "教育");
    case IDS_NET_FOREIGN: return QT_TRANSLATE_NOOP("Morvane", "外国");
    case IDS_NET_CGNAT: return QT_TRANSLATE_NOOP("Morvane", "运营商级NAT");
    case IDS_DOMAIN_OPERATION: return QT_TRANSLATE_NOOP("Morvane", "域名操作");
    case IDS_UPDATE_DOMAIN_LIST: return QT_TRANSLATE_NOOP("Morvane", "更新域名列表");
    case IDS_IP_CHANGED: return QT_TRANSLATE_NOOP("Morvane", "本地动态IP发生了变化");
    case IDS_SUCCEEDED: return QT_TRANSLATE_NOOP("Morvane", "成功");
    case IDS_FAILED: return QT_TRANSLATE_NOOP("Morvane", "失败");
    case IDS_REQUEST: return QT_TRANSLATE_NOOP("Morvane", "请求");
    case IDS_PLEASE_WAIT: return QT_TRANSLATE_NOOP("Morvane", "请等待...");
    case IDS_SERVICE_START_FAILED: return QT_TRANSLATE_NOOP("Morvane", "服务程序启动意外,请重新登录");
    case IDS_PORT_MAPPING: return QT_TRANSLATE_NOOP("Morvane", "端口映射");
    case IDS_COL_SERVICE_PORT: return QT_TRANSLATE_NOOP("Morvane", "服务端口");
    case IDS_COL_PROTOCOL: return QT_TRANSLATE_NOOP("Morvane", "协议");
    case IDS_COL_ENABLED: return QT_TRANSLATE_NOOP("Morvane", "启用");
    case IDS_TAB_ADVANCED: return QT_TRANSLATE_NOOP("Morvane", "高级选项");
    case IDS_REMOVE_PORT_MAPPING: return QT_TRANSLATE_NOOP("Morvane", "删除端口映射");
    case IDS_CUSTOM_PORT: return QT_TRANSLATE_NOOP("Morvane", "自定义端口");
    case IDS_COL_MAP_STATE: return QT_TRANSLATE_NOOP("Morvane", "映射状态");
    case IDS_NOT_MAPPED: return QT_TRANSLATE_NOOP("Morvane", "没有映射");
    case IDS_MAPPED: return QT_TRANSLATE_NOOP("Morvane", "正在映射");
    case IDS_ALREADY_IN_STATE: return QT_TRANSLATE_NOOP("Morvane", "已经有此状态");
    case IDS_DUPLICATE: return QT_TRANSLATE_NOOP("Morvane", "重复数据");
    case IDS_START_MAPPING: return QT_TRANSLATE_NOOP("Morvane", "开始映射");
    case IDS_CANCEL_MAPPING: return QT_TRANSLATE_NOOP("Morvane", "取消映射");
    case IDS_ENABLE: return QT_TRANSLATE_NOOP("Morvane", "启用");
    case IDS_DISABLE: return QT_TRANSLATE_NOOP("Morvane", "取消启用");
    case IDS_CURRENT_VERSION: return QT_TRANSLATE_NOOP("Morvane", "当前版本");
    case IDS_NO_ANSWER: return QT_TRANSLATE_NOOP("Morvane", "服务程序没有响应");
    case IDS_SERVICE_UP: return QT_TRANSLATE_NOOP("Morvane", "服务程序正常");
    case IDS_SERVICE_DOWN: return QT_TRANSLATE_NOOP("Morvane", "服务程序无响应");
    case IDS_SERVICE_BACK: return QT_TRANSLATE_NOOP("Morvane", "服务程序恢复响应");
    case IDS_LOGIN_NO_ANSWER: return QT_TRANSLATE_NOOP("Morvane", "服务程序没有响应,请重试");
    case IDS_PROVIDER_UNREACHABLE: return QT_TRANSLATE_NOOP("Morvane", "无法连接域名服务商");
    case IDS_PROVIDER_UNREADABLE: return QT_TRANSLATE_NOOP("Morvane", "域名服务商的应答无法识别");
    case IDS_PORT_DIGITS_ONLY: return QT_TRANSLATE_NOOP("Morvane", "端口只能是数字");
    case IDS_PORT_EMPTY: return QT_TRANSLATE_NOOP("Morvane", "请输入端口号");
    case IDS_PORT_RANGE: return QT_TRANSLATE_NOOP("Morvane", "端口号无效(1-65535): ");
    case IDS_NO_GATEWAY: return QT_TRANSLATE_NOOP("Morvane", "找不到路由器");
    case IDS_ROUTER_REFUSED: return QT_TRANSLATE_NOOP("Morvane", "路由器拒绝,错误码%1");
    case IDS_LOGIN_NOT_SAVED: return QT_TRANSLATE_NOOP("Morvane", "登录信息未能保存: %1");
    default: return "";
    }
}

QString Text(int id)
{
    const char* source = LoadStringText(id);
    return *source ? QCoreApplication::translate("Morvane", source) : QString();
}

const int* StringIds(int& count)
{
    static const int ids[] = {
        102, 103, 104, 105, 106, 107, 108, 109, 110, 113, 114, 116, 117, 118, 119, 121, 122, 124,
        125, 126, 127, 128, 129, 130, 131, 132, 133, 134, 136, 137, 140, 144, 145, 146, 147, 149,
        150, 151, 152, 153, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212,
    };
    count = static_cast<int>(sizeof ids / sizeof ids[0]);
    return ids;
}

bool WantsTranslation(const QString& uiLanguage)
{
    const QString lang = uiLanguage.trimmed().toLower();
    return !(lang.isEmpty() || lang == QLatin1String("c") || lang == QLatin1String("posix") ||
             lang.startsWith(QLatin1String("c.")) || lang == QLatin1String("zh") ||
             lang.startsWith(QLatin1String("zh-")) || lang.startsWith(QLatin1String("zh_")));
}

bool LoadTranslation(const std::string& programDir)
{
    const QStringList languages = QLocale::system().uiLanguages();
    if (!WantsTranslation(languages.isEmpty() ? QString() : languages.front()))
        return false;
    static QTranslator translator;
    const QString dir = QString::fromStdString(programDir);
    for (const QString& where :
         {dir + QStringLiteral("translations"), dir + QStringLiteral("../../share/morvane/translations")}) {
        // English is the one translation; any other language reads it too.
        if (translator.load(QStringLiteral("morvane_en"), where))
            return QCoreApplication::installTranslator(&translator);
    }
    return false;
}

const char* SiteHost()
{
    static const std::string host = [] {
        const char* env = std::getenv("MORVANE_SITE");
        return std::string(env && *env ? env : MORVANE_SITE_DEFAULT_HOST);
    }();
    return host.c_str();
}

const char* SiteUrl()
{
    static const std::string url = std::string("http://") + SiteHost() + "/";
    return url.c_str();
}

QString SitePage(const char* path)
{
    return QString::fromUtf8(SiteUrl()) + QString::fromUtf8(path);
}

const char* BuildVersion()
{
    return MORVANE_BUILD_VERSION;
}

}  // namespace gui
