#include "tools/provider/page_text.h"

#include <cctype>

namespace provider::page {
namespace {

struct Pair {
    const char* en;
    const char* zh;
};

// In the order of Text.
constexpr Pair kTexts[] = {
    {"Dynamic DNS account", "动态域名账户"},
    {"Sign in", "登录"},
    {"Account name", "账户名"},
    {"Password", "密码"},
    {"Sign in", "登录"},
    {"Sign out", "退出"},
    {"Wrong account name or password.", "账户名或密码错误。"},
    {"Too many failed sign-ins from your address. Try again in (seconds):",
     "您的地址登录失败次数过多。请稍后再试（秒）："},
    {"This form has expired. Please try again.", "表单已过期，请重试。"},
    {"Your hosts", "您的主机"},
    {"This account has no hosts yet.", "此账户还没有主机。"},
    {"IPv4 address (A)", "IPv4 地址（A 记录）"},
    {"IPv6 address (AAAA)", "IPv6 地址（AAAA 记录）"},
    {"none", "无"},
    {"Last change", "最近更改"},
    {"never", "从未"},
    {"Recent history", "最近记录"},
    {"When (UTC)", "时间（UTC）"},
    {"Family", "类型"},
    {"Address", "地址"},
    {"DNS", "DNS"},
    {"not published (outside the zones)", "未发布（不在托管区域内）"},
    {"waiting for DNS", "等待发布"},
    {"published", "已发布"},
    {"superseded", "已被更新的地址取代"},
    {"zone removed", "区域已删除"},
    {"failing", "发布失败"},
    {"Update tokens", "更新令牌"},
    {"No tokens.", "没有令牌。"},
    {"Created", "创建时间"},
    {"Last used", "最近使用"},
    {"Revoke", "吊销"},
    {"New token", "新建令牌"},
    {"Your new token. It is shown only this once: copy it now.", "您的新令牌。它只显示这一次，请立即复制。"},
    {"Use it as the password of a dyndns2 client, with the host name as the user name. It updates this host "
     "only.",
     "在 dyndns2 客户端中用它作密码，用主机名作用户名。它只能更新这一台主机。"},
    {"This host has as many tokens as it may have: revoke one first.", "此主机的令牌已达上限，请先吊销一个。"},
    {"Change password", "修改密码"},
    {"Current password", "当前密码"},
    {"New password (at least 8 characters)", "新密码（至少 8 个字符）"},
    {"New password again", "再次输入新密码"},
    {"Your password has been changed. Other signed-in browsers have been signed out.",
     "密码已修改。其他已登录的浏览器已退出登录。"},
    {"The two new passwords differ.", "两次输入的新密码不一致。"},
    {"The new password is too short.", "新密码太短。"},
    {"The current password is wrong.", "当前密码错误。"},
    {"The server is busy. Please try again in a moment.", "服务器繁忙，请稍后再试。"},
    {"The server cannot reach its database. Please try again later.", "服务器无法访问数据库，请稍后再试。"},
    {"Language", "语言"},
};
static_assert(sizeof kTexts / sizeof kTexts[0] == static_cast<size_t>(Text::Language) + 1);

}  // namespace

const char* T(Lang lang, Text text)
{
    const Pair& p = kTexts[static_cast<size_t>(text)];
    return lang == Lang::Zh ? p.zh : p.en;
}

Lang Choose(std::string_view wanted, std::string_view acceptLanguage)
{
    if (wanted == "zh")
        return Lang::Zh;
    if (wanted == "en")
        return Lang::En;
    // "zh-CN,zh;q=0.9,en;q=0.8": the order given is taken as the preference; a language with q=0 is not
    // wanted at all.
    while (!acceptLanguage.empty()) {
        size_t comma = acceptLanguage.find(',');
        std::string_view item = acceptLanguage.substr(0, comma);
        acceptLanguage = comma == std::string_view::npos ? std::string_view() : acceptLanguage.substr(comma + 1);
        std::string tag;
        for (char c : item.substr(0, item.find(';')))
            if (c != ' ')
                tag += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t q = item.find("q=");
        if (q != std::string_view::npos && item.substr(q + 2).find_first_not_of("0.") == std::string_view::npos)
            continue;
        if (tag == "zh" || tag.rfind("zh-", 0) == 0)
            return Lang::Zh;
        if (tag == "en" || tag.rfind("en-", 0) == 0)
            return Lang::En;
    }
    return Lang::En;
}

const char* Code(Lang lang)
{
    return lang == Lang::Zh ? "zh-CN" : "en";
}

}  // namespace provider::page
