#pragma once
// The desktop program's string table: every user-visible text that has a number, in UTF-8.

namespace gui {

enum StringId {
    IDS_EMPTY_CREDENTIALS = 102,   // 用户名和密码不能为空
    IDS_TAB_DOMAINS = 103,         // 动态域名管理
    IDS_TAB_ABOUT = 104,           // 关于MORVANE
    IDS_START_RESOLVE = 105,       // 开始解析
    IDS_STOP_RESOLVE = 106,        // 停止解析
    IDS_COL_START_STOP = 107,      // 开始/停止
    IDS_COL_DOMAIN = 108,          // 域名
    IDS_COL_STATE = 109,           // 状态
    IDS_BAD_CREDENTIALS = 110,     // 用户名和密码出错
    IDS_NET_TELECOM = 113,         // 中国电信
    IDS_NET_NETCOM = 114,          // 中国网通
    IDS_NET_UNKNOWN = 116,         // 未知
    IDS_NET_DYNAMIC = 117,         // 动态
    IDS_NET_EDUCATION = 118,       // 教育
    IDS_NET_FOREIGN = 119,         // 外国
    IDS_NET_CGNAT = 154,           // 运营商级NAT (no public address: nothing is pushed)
    IDS_DOMAIN_OPERATION = 121,    // 域名操作
    IDS_UPDATE_DOMAIN_LIST = 122,  // 更新域名列表
    IDS_IP_CHANGED = 124,          // 本地动态IP发生了变化
    IDS_SUCCEEDED = 125,           // 成功
    IDS_FAILED = 126,              // 失败
    IDS_REQUEST = 127,             // 请求
    IDS_PLEASE_WAIT = 128,         // 请等待...
    IDS_SERVICE_START_FAILED = 129,  // 服务程序启动意外,请重新登陆
    IDS_PORT_MAPPING = 130,        // 端口映射
    IDS_COL_SERVICE_PORT = 131,    // 服务端口
    IDS_COL_PROTOCOL = 132,        // 协议
    IDS_COL_ENABLED = 133,         // 启用
    IDS_TAB_ADVANCED = 134,        // 高级选项
    IDS_REMOVE_PORT_MAPPING = 136,  // 删除端口映射
    IDS_CUSTOM_PORT = 137,         // 自定义端口
    IDS_COL_MAP_STATE = 140,       // 映射状态
    IDS_NOT_MAPPED = 144,          // 没有映射
    IDS_MAPPED = 145,              // 正在映射
    IDS_ALREADY_IN_STATE = 146,    // 已经有此状态
    IDS_DUPLICATE = 147,           // 重复数据
    IDS_START_MAPPING = 149,       // 开始映射
    IDS_CANCEL_MAPPING = 150,      // 取消映射
    IDS_ENABLE = 151,              // 启用
    IDS_DISABLE = 152,             // 取消启用
    IDS_CURRENT_VERSION = 153,     // 当前版本
};

// The text of a string, UTF-8; "" for a number the table does not hold.
const char* LoadStringText(int id);

// The provider's web site: "http://<host>/" with the host from MORVANE_SITE (when set) or the
// build-time default (CMake MORVANE_SITE_HOST).
const char* SiteHost();
const char* SiteUrl();

}  // namespace gui
