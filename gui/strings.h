#pragma once
// The desktop program's string table: every user-visible text that has a number, in UTF-8.
// The texts are the Chinese originals and the source texts of the translations (context
// "Morvane"); Text() gives the one for the user's language.

#include <QString>

#include <string>

namespace gui {

enum StringId {
    IDS_EMPTY_CREDENTIALS = 102,     // 用户名和密码不能为空
    IDS_TAB_DOMAINS = 103,           // 动态域名管理
    IDS_TAB_ABOUT = 104,             // 关于Morvane
    IDS_START_RESOLVE = 105,         // 开始解析
    IDS_STOP_RESOLVE = 106,          // 停止解析
    IDS_COL_START_STOP = 107,        // 开始/停止
    IDS_COL_DOMAIN = 108,            // 域名
    IDS_COL_STATE = 109,             // 状态
    IDS_BAD_CREDENTIALS = 110,       // 用户名和密码出错
    IDS_NET_TELECOM = 113,           // 中国电信
    IDS_NET_NETCOM = 114,            // 中国网通
    IDS_NET_UNKNOWN = 116,           // 未知
    IDS_NET_DYNAMIC = 117,           // 动态
    IDS_NET_EDUCATION = 118,         // 教育
    IDS_NET_FOREIGN = 119,           // 外国
    IDS_NET_CGNAT = 154,             // 运营商级NAT (no public address: nothing is pushed)
    IDS_DOMAIN_OPERATION = 121,      // 域名操作
    IDS_UPDATE_DOMAIN_LIST = 122,    // 更新域名列表
    IDS_IP_CHANGED = 124,            // 本地动态IP发生了变化
    IDS_SUCCEEDED = 125,             // 成功
    IDS_FAILED = 126,                // 失败
    IDS_REQUEST = 127,               // 请求
    IDS_PLEASE_WAIT = 128,           // 请等待...
    IDS_SERVICE_START_FAILED = 129,  // 服务程序启动意外,请重新登录
    IDS_PORT_MAPPING = 130,          // 端口映射
    IDS_COL_SERVICE_PORT = 131,      // 服务端口
    IDS_COL_PROTOCOL = 132,          // 协议
    IDS_COL_ENABLED = 133,           // 启用
    IDS_TAB_ADVANCED = 134,          // 高级选项
    IDS_REMOVE_PORT_MAPPING = 136,   // 删除端口映射
    IDS_CUSTOM_PORT = 137,           // 自定义端口
    IDS_COL_MAP_STATE = 140,         // 映射状态
    IDS_NOT_MAPPED = 144,            // 没有映射
    IDS_MAPPED = 145,                // 正在映射
    IDS_ALREADY_IN_STATE = 146,      // 已经有此状态
    IDS_DUPLICATE = 147,             // 重复数据
    IDS_START_MAPPING = 149,         // 开始映射
    IDS_CANCEL_MAPPING = 150,        // 取消映射
    IDS_ENABLE = 151,                // 启用
    IDS_DISABLE = 152,               // 取消启用
    IDS_CURRENT_VERSION = 153,       // 当前版本

    // Texts of our own, not from the original table.
    IDS_NO_ANSWER = 200,             // 服务程序没有响应 (after a failed line)
    IDS_SERVICE_UP = 201,            // 服务程序正常 (status)
    IDS_SERVICE_DOWN = 202,          // 服务程序无响应 (status)
    IDS_SERVICE_BACK = 203,          // 服务程序恢复响应
    IDS_LOGIN_NO_ANSWER = 204,       // 服务程序没有响应,请重试
    IDS_PROVIDER_UNREACHABLE = 205,  // 无法连接域名服务商
    IDS_PROVIDER_UNREADABLE = 206,   // 域名服务商的应答无法识别
    IDS_PORT_DIGITS_ONLY = 207,      // 端口只能是数字
    IDS_PORT_EMPTY = 208,            // 请输入端口号
    IDS_PORT_RANGE = 209,            // 端口号无效(1-65535):
    IDS_NO_GATEWAY = 210,            // 找不到路由器
    IDS_ROUTER_REFUSED = 211,        // 路由器拒绝,错误码%1
    IDS_LOGIN_NOT_SAVED = 212,       // 登录信息未能保存: %1 (the file and why)
};

// The text of a string, UTF-8, untranslated; "" for a number the table does not hold.
const char* LoadStringText(int id);
// The text in the user's language (the installed translation; the original without one).
QString Text(int id);
// Every number the table holds (tests check each has a translation).
const int* StringIds(int& count);

// Whether the user's first UI language (a BCP 47 name such as "en-GB", or "C") gets a
// translation: every language but Chinese, C and POSIX, which show the original texts.
bool WantsTranslation(const QString& uiLanguage);
// Installs the English translation when the system's UI language wants one. Looks in
// <programDir>translations/ (a build tree), then in the installed share/morvane/translations.
// True when a translation was installed.
bool LoadTranslation(const std::string& programDir);

// The provider's web site: "http://<host>/" with the host from MORVANE_SITE (when set) or the
// build-time default (CMake MORVANE_SITE_HOST).
const char* SiteHost();
const char* SiteUrl();
// Pages of the site the program links to, below SiteUrl().
inline constexpr const char* kSiteAddDomain = "index.php?action=adddomain";
inline constexpr const char* kSiteDomainHelp = "index.php?action=help&topic=domains";
inline constexpr const char* kSitePortHelp = "index.php?action=help&topic=ports";
QString SitePage(const char* path);

// The project version the program was built as.
const char* BuildVersion();

}  // namespace gui
