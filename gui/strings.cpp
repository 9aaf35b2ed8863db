#include "gui/strings.h"

#include <cstdlib>
#include <string>

#ifndef MORVANE_SITE_DEFAULT_HOST
#define MORVANE_SITE_DEFAULT_HOST "127.0.0.1"
#endif

namespace gui {

const char* LoadStringText(int id)
{
    switch (id) {
    case IDS_EMPTY_CREDENTIALS: return "用户名和密码不能为空";
    case IDS_TAB_DOMAINS: return "动态域名管理";
    case IDS_TAB_ABOUT: return "关于MORVANE";
    case IDS_START_RESOLVE: return "开始解析";
    case IDS_STOP_RESOLVE: return "停止解析";
    case IDS_COL_START_STOP: return "开始/停止";
    case IDS_COL_DOMAIN: return "域名";
    case IDS_COL_STATE: return "状态";
    case IDS_BAD_CREDENTIALS: return "用户名和密码出错";
    case IDS_NET_TELECOM: return "中国电信";
    case IDS_NET_NETCOM: return "中国网通";
    case IDS_NET_UNKNOWN: return "未知";
    case IDS_NET_DYNAMIC: return "动态";
    case IDS_NET_EDUCATION: return "教育";
    case IDS_NET_FOREIGN: return "外国";
    case IDS_NET_CGNAT: return "运营商级NAT";
    case IDS_DOMAIN_OPERATION: return "域名操作";
    case IDS_UPDATE_DOMAIN_LIST: return "更新域名列表";
    case IDS_IP_CHANGED: return "本地动态IP发生了变化";
    case IDS_SUCCEEDED: return "成功";
    case IDS_FAILED: return "失败";
    case IDS_REQUEST: return "请求";
    case IDS_PLEASE_WAIT: return "请等待...";
    case IDS_SERVICE_START_FAILED: return "服务程序启动意外,请重新登陆";
    case IDS_PORT_MAPPING: return "端口映射";
    case IDS_COL_SERVICE_PORT: return "服务端口";
    case IDS_COL_PROTOCOL: return "协议";
    case IDS_COL_ENABLED: return "启用";
    case IDS_TAB_ADVANCED: return "高级选项";
    case IDS_REMOVE_PORT_MAPPING: return "删除端口映射";
    case IDS_CUSTOM_PORT: return "自定义端口";
    case IDS_COL_MAP_STATE: return "映射状态";
    case IDS_NOT_MAPPED: return "没有映射";
    case IDS_MAPPED: return "正在映射";
    case IDS_ALREADY_IN_STATE: return "已经有此状态";
    case IDS_DUPLICATE: return "重复数据";
    case IDS_START_MAPPING: return "开始映射";
    case IDS_CANCEL_MAPPING: return "取消映射";
    case IDS_ENABLE: return "启用";
    case IDS_DISABLE: return "取消启用";
    case IDS_CURRENT_VERSION: return "当前版本";
    default: return "";
    }
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

}  // namespace gui
