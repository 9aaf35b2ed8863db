#include "tools/provider/page.h"

#include <ctime>
#include <map>
#include <vector>

#include "shared/base/md5.h"
#include "tools/provider/credentials.h"
#include "tools/provider/metrics.h"
#include "tools/provider/page_text.h"

namespace provider {

std::string HtmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

namespace {

using page::Lang;
using page::T;
using page::Text;

constexpr const char kSessionCookie[] = "morvane_session";
constexpr const char kLoginCookie[] = "morvane_login";  // the sign-in form's token, doubled in the form
constexpr const char kLangCookie[] = "morvane_lang";
constexpr size_t kMinPassword = 8;
constexpr size_t kMaxPassword = 1024;

constexpr const char kStyle[] =
    "*{box-sizing:border-box}body{font-family:system-ui,'Noto Sans CJK SC','WenQuanYi Micro Hei',sans-serif;"
    "margin:0;background:#f4f5f7;color:#1d2430;line-height:1.45}"
    "header{background:#1f4e79;color:#fff;padding:.7em 1em;display:flex;flex-wrap:wrap;gap:.6em;"
    "align-items:center;justify-content:space-between}header h1{font-size:1.15em;margin:0}"
    "header a{color:#fff}main{max-width:60em;margin:0 auto;padding:1em}"
    "section{background:#fff;border:1px solid #d8dce3;border-radius:6px;padding:.8em 1em;margin:0 0 1em}"
    "h2{font-size:1.1em;margin:.2em 0 .6em;word-break:break-all}h3{font-size:1em;margin:.8em 0 .4em}"
    "table{border-collapse:collapse;width:100%;font-size:.92em}th,td{text-align:left;padding:.25em .4em;"
    "border-bottom:1px solid #eceef2;vertical-align:top;word-break:break-all}"
    "dl{display:grid;grid-template-columns:max-content 1fr;gap:.2em .8em;margin:0}dt{color:#556}dd{margin:0;"
    "word-break:break-all}code,.token{font-family:ui-monospace,monospace}"
    ".token{display:block;background:#fff8d6;border:1px solid #e5c84a;padding:.5em;margin:.4em 0;"
    "word-break:break-all;font-size:1.05em}"
    "label{display:block;margin:.4em 0 .1em}input[type=text],input[type=password]{width:100%;max-width:24em;"
    "padding:.45em;font-size:1em;border:1px solid #b8bfcc;border-radius:4px}"
    "button{padding:.45em .9em;font-size:.95em;border-radius:4px;border:1px solid #1f4e79;background:#1f4e79;"
    "color:#fff;cursor:pointer;margin-top:.5em}button.quiet{background:#fff;color:#1f4e79}"
    "form.inline{display:inline;margin:0}form.inline button{margin:0;padding:.2em .6em}"
    ".ok{color:#16632b}.bad{color:#a11}.note{background:#e8f3ea;border-color:#9bc9a5}"
    ".error{background:#fbeaea;border-color:#e0a3a3}@media (max-width:40em){th.opt,td.opt{display:none}}";

// Headers of every page: nothing cached, no framing, no scripts, styles and forms from here only.
std::vector<std::string> PageHeaders(std::vector<std::string> more = {})
{
    more.insert(more.end(), {"Cache-Control: no-store", "X-Content-Type-Options: nosniff", "X-Frame-Options: DENY",
                             "Referrer-Policy: no-referrer",
                             "Content-Security-Policy: default-src 'none'; style-src 'self'; form-action 'self'; "
                             "frame-ancestors 'none'; base-uri 'none'"});
    return more;
}

std::map<std::string, std::string> Cookies(const http::Request& head)
{
    std::map<std::string, std::string> cookies;
    for (const auto& [name, value] : head.headers) {
        if (name != "cookie")
            continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            size_t semi = rest.find(';');
            std::string_view item = rest.substr(0, semi);
            rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
            while (!item.empty() && item.front() == ' ')
                item.remove_prefix(1);
            size_t eq = item.find('=');
            if (eq != std::string_view::npos)
                cookies.emplace(std::string(item.substr(0, eq)), std::string(item.substr(eq + 1)));
        }
    }
    return cookies;
}

std::string When(int64_t unixSeconds, Lang lang)
{
    if (unixSeconds <= 0)
        return T(lang, Text::Never);
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    char text[32] = "?";
    if (gmtime_r(&t, &tm))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

class CPage {
public:
    CPage(CProviderStore& store, CAccess& access, IncomingRequest& request, const PageOptions& options)
        : m_store(store), m_access(access), m_request(request), m_options(options), m_head(request.head),
          m_cookies(Cookies(request.head))
    {
        http::ParseQuery(m_head.Query(), m_query);
        const std::string* lang = Param(m_query, "lang");
        auto cookie = m_cookies.find(kLangCookie);
        const std::string* accept = m_head.Header("accept-language");
        m_lang = page::Choose(lang ? *lang : cookie != m_cookies.end() ? cookie->second : "", accept ? *accept : "");
        if (lang && (*lang == "en" || *lang == "zh"))
            m_headers.push_back(Cookie(kLangCookie, *lang, 365 * 86400));
    }

    std::string Answer();

private:
    static const std::string* Param(const std::vector<std::pair<std::string, std::string>>& params, const char* name)
    {
        for (const auto& [k, v] : params)
            if (k == name)
                return &v;
        return nullptr;
    }
    const std::string* Form(const char* name) const { return Param(m_form, name); }
    std::string Cookie(const char* name, const std::string& value, int64_t maxAge) const
    {
        std::string c =
            std::string("Set-Cookie: ") + name + "=" + value + "; Path=" + kPagePath + "; HttpOnly; SameSite=Strict";
        if (maxAge >= 0)
            c += "; Max-Age=" + std::to_string(maxAge);
        if (m_options.secure)
            c += "; Secure";
        return c;
    }
    std::string Html(int status, const std::string& body, std::vector<std::string> extra = {})
    {
        std::string page = std::string("<!DOCTYPE html>\n<html lang=\"") + page::Code(m_lang) +
                           "\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" content=\"width=device-width, "
                           "initial-scale=1\"><title>" +
                           T(m_lang, Text::Title) + "</title><link rel=\"stylesheet\" href=\"" + kPagePath +
                           "/style.css\"></head><body>\n<header><h1>" + T(m_lang, Text::Title) + "</h1><nav>" +
                           Header() + "</nav></header>\n<main>\n" + body + "</main></body></html>\n";
        extra.insert(extra.begin(), m_headers.begin(), m_headers.end());
        return http::Answer(status, page, "text/html; charset=utf-8", PageHeaders(extra));
    }
    std::string Header() const
    {
        std::string nav = std::string("<a href=\"") + kPagePath + "?lang=en\" lang=\"en\">English</a> · <a href=\"" +
                          kPagePath + "?lang=zh\" lang=\"zh-CN\">中文</a>";
        if (m_signedIn)
            nav += " · " + HtmlEscape(m_session.account) + " " + FormStart("logout", "inline") +
                   "<button class=\"quiet\">" + T(m_lang, Text::SignOut) + "</button></form>";
        return nav;
    }
    std::string FormStart(const char* action, const char* cls = nullptr) const
    {
        return std::string("<form method=\"post\" action=\"") + kPagePath + "/" + action + "\"" +
               (cls ? std::string(" class=\"") + cls + "\"" : "") + "><input type=\"hidden\" name=\"csrf\" value=\"" +
               HtmlEscape(m_signedIn ? m_session.csrf : m_loginToken) + "\">";
    }
    std::string Redirect()
    {
        return http::Answer(303, "", "", PageHeaders([&] {
                                auto h = m_headers;
                                h.push_back(std::string("Location: ") + kPagePath);
                                return h;
                            }()));
    }
    std::string Message(Text text, bool error, const std::string& more = {}) const
    {
        return std::string("<section class=\"") + (error ? "error" : "note") + "\" role=\"" +
               (error ? "alert" : "status") + "\">" + T(m_lang, text) + HtmlEscape(more) + "</section>\n";
    }

    bool FindSession();
    std::string LoginPage(int status, const std::string& message);
    std::string Login();
    std::string Dashboard(const std::string& message);
    std::string NewToken();
    std::string ChangePassword();

    CProviderStore& m_store;
    CAccess& m_access;
    IncomingRequest& m_request;
    const PageOptions& m_options;
    const http::Request& m_head;
    std::map<std::string, std::string> m_cookies;
    std::vector<std::pair<std::string, std::string>> m_query;
    std::vector<std::pair<std::string, std::string>> m_form;
    std::vector<std::string> m_headers;  // cookies set, and any other header of the answer
    Lang m_lang = Lang::En;
    bool m_signedIn = false;
    ProviderSession m_session;
    std::string m_loginToken;
};

bool CPage::FindSession()
{
    auto cookie = m_cookies.find(kSessionCookie);
    if (cookie == m_cookies.end() || cookie->second.size() != 64)
        return false;
    int64_t now = NowMs();
    m_signedIn =
        m_store.FindSession(Sha256Hex(cookie->second), now, now + m_options.idleMs, m_options.maxAgeMs, m_session);
    return m_signedIn;
}

std::string CPage::LoginPage(int status, const std::string& message)
{
    // The form's token doubles a cookie of its own: a page of another site can neither read nor set it.
    auto cookie = m_cookies.find(kLoginCookie);
    if (m_loginToken.empty())
        m_loginToken = cookie != m_cookies.end() && cookie->second.size() == 32 ? cookie->second : RandomHex(16);
    const std::string* name = Form("name");
    return Html(status,
                message + "<section><h2>" + T(m_lang, Text::SignInHeading) + "</h2>" + FormStart("login") +
                    "<label for=\"name\">" + T(m_lang, Text::Name) +
                    "</label><input type=\"text\" id=\"name\" name=\"name\" autocomplete=\"username\" "
                    "autocapitalize=\"none\" required value=\"" +
                    HtmlEscape(name ? *name : "") + "\"><label for=\"password\">" + T(m_lang, Text::Password) +
                    "</label><input type=\"password\" id=\"password\" name=\"password\" "
                    "autocomplete=\"current-password\" required><br><button>" +
                    T(m_lang, Text::SignIn) + "</button></form></section>\n",
                {Cookie(kLoginCookie, m_loginToken, -1)});
}

std::string CPage::Login()
{
    const std::string* name = Form("name");
    const std::string* password = Form("password");
    if (!name || !password || password->size() > kMaxPassword)
        return LoginPage(400, Message(Text::WrongLogin, true));
    ProviderAccount account;
    if (!m_store.FindAccount(*name, account) && m_store.LastError().rfind("no such account", 0) != 0)
        return LoginPage(503, Message(Text::StoreFailed, true));
    const bool legacy = account.pwhash.empty();
    int retryAfter = 0;
    const std::string busy = LoginPage(503, Message(Text::Busy, true));
    switch (m_access.Check(m_request, *name, legacy ? account.digest : account.pwhash,
                           legacy ? CAccess::Kind::Digest : CAccess::Kind::Hash, *password, busy, retryAfter)) {
    case CAccess::Verdict::Pending: return {};
    case CAccess::Verdict::Throttled:
        metrics::Login("slowed");
        m_headers.push_back("Retry-After: " + std::to_string(retryAfter < 1 ? 1 : retryAfter));
        return LoginPage(429, Message(Text::SlowedLogin, true, " " + std::to_string(retryAfter)));
    case CAccess::Verdict::Refused: metrics::Login("refused"); return LoginPage(401, Message(Text::WrongLogin, true));
    case CAccess::Verdict::Accepted: break;
    }
    if (legacy) {
        // Made before slow hashes: the password is known now, so it gets one.
        const std::string* hash = m_access.NewHash(m_request, "pwhash", *password, busy);
        if (!hash)
            return m_request.defer ? std::string() : LoginPage(503, Message(Text::Busy, true));
        if (!m_store.AddPasswordHash(account.name, account.digest, *hash))
            return LoginPage(503, Message(Text::StoreFailed, true));
    }
    metrics::Login("ok");
    const std::string secret = RandomHex(32);
    ProviderSession session;
    session.id = Sha256Hex(secret);
    session.account = account.name;
    session.csrf = RandomHex(16);
    session.createdMs = NowMs();
    session.expiresMs = session.createdMs + m_options.idleMs;
    if (!m_store.AddSession(session))
        return LoginPage(503, Message(Text::StoreFailed, true));
    m_headers.push_back(Cookie(kSessionCookie, secret, -1));
    m_headers.push_back(Cookie(kLoginCookie, "", 0));
    return Redirect();
}

const char* StateText(Lang lang, const std::string& state, const std::string& error)
{
    if (state.empty())
        return T(lang, Text::NotPublished);
    if (state == kPublicationPending)
        return T(lang, error.empty() ? Text::Pending : Text::Failing);
    if (state == kPublicationPublished)
        return T(lang, Text::Published);
    if (state == kPublicationSuperseded)
        return T(lang, Text::Superseded);
    return T(lang, Text::NoZone);
}

std::string CPage::Dashboard(const std::string& message)
{
    std::vector<ProviderHost> hosts;
    std::vector<ProviderToken> tokens;
    if (!m_store.HostsOf(m_session.account, hosts) || !m_store.TokensOf(m_session.account, tokens))
        return Html(503, Message(Text::StoreFailed, true));
    std::string body = message + "<section><h2>" + std::string(T(m_lang, Text::Hosts)) + "</h2>";
    if (hosts.empty())
        body += std::string("<p>") + T(m_lang, Text::NoHosts) + "</p>";
    body += "</section>\n";
    for (const ProviderHost& h : hosts) {
        body += "<section class=\"host\"><h2>" + HtmlEscape(h.domain) + "</h2><dl>";
        for (IpFamily family : {IpFamily::V4, IpFamily::V6}) {
            const std::string& address = family == IpFamily::V4 ? h.data : h.data6;
            std::string state, error;
            if (!m_store.PublicationOf(h.hostid, family, state, error))
                return Html(503, Message(Text::StoreFailed, true));
            body +=
                std::string("<dt>") + T(m_lang, family == IpFamily::V4 ? Text::Address4 : Text::Address6) + "</dt><dd>";
            if (address.empty()) {
                body += T(m_lang, Text::None);
            } else {
                body += "<code>" + HtmlEscape(address) + "</code> · " + StateText(m_lang, state, error);
                if (!error.empty())
                    body += " (" + HtmlEscape(error) + ")";
            }
            body += "</dd>";
        }
        body += std::string("<dt>") + T(m_lang, Text::Changed) + "</dt><dd>" + When(h.changedMs / 1000, m_lang) +
                (h.changedMs > 0 ? " UTC" : "") + "</dd></dl>";

        std::vector<ProviderHistory> history;
        if (!m_store.HostHistory(h.hostid, m_options.historyRows, history))
            return Html(503, Message(Text::StoreFailed, true));
        if (!history.empty()) {
            body += std::string("<h3>") + T(m_lang, Text::History) + "</h3><table><tr><th>" + T(m_lang, Text::When) +
                    "</th><th class=\"opt\">" + T(m_lang, Text::Family) + "</th><th>" + T(m_lang, Text::Address) +
                    "</th><th>" + T(m_lang, Text::Publication) + "</th></tr>";
            for (const ProviderHistory& row : history) {
                body += "<tr><td>" + When(row.time, m_lang) + "</td><td class=\"opt\">" +
                        (row.family == 6 ? "IPv6" : "IPv4") + "</td><td><code>" + HtmlEscape(row.address) +
                        "</code></td><td>" + StateText(m_lang, row.publication, row.publicationError);
                if (!row.publicationError.empty())
                    body += " (" + HtmlEscape(row.publicationError) + ")";
                body += "</td></tr>";
            }
            body += "</table>";
        }

        body += std::string("<h3>") + T(m_lang, Text::Tokens) + "</h3>";
        std::string rows;
        for (const ProviderToken& t : tokens) {
            if (t.hostid != h.hostid)
                continue;
            rows += "<tr><td><code>t" + std::to_string(t.id) + "-…</code></td><td>" + When(t.created, m_lang) +
                    "</td><td class=\"opt\">" + When(t.used, m_lang) + "</td><td>" + FormStart("revoke", "inline") +
                    "<input type=\"hidden\" name=\"token\" value=\"" + std::to_string(t.id) +
                    "\"><button class=\"quiet\">" + T(m_lang, Text::Revoke) + "</button></form></td></tr>";
        }
        body += rows.empty() ? std::string("<p>") + T(m_lang, Text::NoTokens) + "</p>"
                             : std::string("<table><tr><th>Token</th><th>") + T(m_lang, Text::Created) +
                                   "</th><th class=\"opt\">" + T(m_lang, Text::LastUsed) + "</th><th></th></tr>" +
                                   rows + "</table>";
        body += FormStart("token") + "<input type=\"hidden\" name=\"host\" value=\"" + std::to_string(h.hostid) +
                "\"><button>" + T(m_lang, Text::NewToken) + "</button></form></section>\n";
    }
    body += std::string("<section><h2>") + T(m_lang, Text::ChangePassword) + "</h2>" + FormStart("password") +
            "<label for=\"current\">" + T(m_lang, Text::CurrentPassword) +
            "</label><input type=\"password\" id=\"current\" name=\"current\" autocomplete=\"current-password\" "
            "required><label for=\"new\">" +
            T(m_lang, Text::NewPassword) +
            "</label><input type=\"password\" id=\"new\" name=\"new\" autocomplete=\"new-password\" minlength=\"8\" "
            "required><label for=\"repeat\">" +
            T(m_lang, Text::RepeatPassword) +
            "</label><input type=\"password\" id=\"repeat\" name=\"repeat\" autocomplete=\"new-password\" "
            "minlength=\"8\" required><br><button>" +
            T(m_lang, Text::ChangePassword) + "</button></form></section>\n";
    return Html(200, body);
}

std::string CPage::NewToken()
{
    const std::string* hostText = Form("host");
    std::vector<ProviderHost> hosts;
    if (!hostText || !m_store.HostsOf(m_session.account, hosts))
        return Dashboard(Message(Text::StoreFailed, true));
    const ProviderHost* host = nullptr;
    for (const ProviderHost& h : hosts)
        if (std::to_string(h.hostid) == *hostText)
            host = &h;
    if (!host)
        return Redirect();  // not one of this account's hosts (any more)
    // The secret is made once, hashed off the workers, and shown only on the page that answers this form.
    auto secret = m_request.notes.find("token-secret");
    if (secret == m_request.notes.end())
        secret = m_request.notes.emplace("token-secret", TokenSecret()).first;
    const std::string* hash =
        m_access.NewHash(m_request, "token-hash", secret->second, Html(503, Message(Text::Busy, true)));
    if (!hash)
        return m_request.defer ? std::string() : Dashboard(Message(Text::Busy, true));
    int64_t id = 0;
    if (!m_store.AddToken(host->hostid, *hash, id))
        return Dashboard(Message(
            m_store.LastError().rfind("a host has at most", 0) == 0 ? Text::TokenLimit : Text::StoreFailed, true));
    return Dashboard("<section class=\"note\" role=\"status\"><h2>" + HtmlEscape(host->domain) + "</h2><p>" +
                     T(m_lang, Text::TokenShown) + "</p><code class=\"token\" id=\"new-token\">" +
                     HtmlEscape(TokenText(id, secret->second)) + "</code><p>" + T(m_lang, Text::TokenHowTo) +
                     "</p></section>\n");
}

std::string CPage::ChangePassword()
{
    const std::string* current = Form("current");
    const std::string* fresh = Form("new");
    const std::string* repeat = Form("repeat");
    if (!current || !fresh || !repeat || current->size() > kMaxPassword || fresh->size() > kMaxPassword)
        return Dashboard(Message(Text::PasswordShort, true));
    if (*fresh != *repeat)
        return Dashboard(Message(Text::PasswordMismatch, true));
    if (fresh->size() < kMinPassword)
        return Dashboard(Message(Text::PasswordShort, true));
    ProviderAccount account;
    if (!m_store.FindAccount(m_session.account, account))
        return Dashboard(Message(Text::StoreFailed, true));
    const bool legacy = account.pwhash.empty();
    int retryAfter = 0;
    const std::string busy = Html(503, Message(Text::Busy, true));
    switch (m_access.Check(m_request, m_session.account, legacy ? account.digest : account.pwhash,
                           legacy ? CAccess::Kind::Digest : CAccess::Kind::Hash, *current, busy, retryAfter)) {
    case CAccess::Verdict::Pending: return {};
    case CAccess::Verdict::Throttled:
        return Dashboard(Message(Text::SlowedLogin, true, " " + std::to_string(retryAfter)));
    case CAccess::Verdict::Refused: return Dashboard(Message(Text::WrongPassword, true));
    case CAccess::Verdict::Accepted: break;
    }
    const std::string* hash = m_access.NewHash(m_request, "new-hash", *fresh, busy);
    if (!hash)
        return m_request.defer ? std::string() : Dashboard(Message(Text::Busy, true));
    // The web service's digest changes with it; the other sessions of the account end.
    if (!m_store.SetPassword(account.name, CMD5(fresh->c_str()).HexDigest(), *hash) ||
        !m_store.RemoveSessionsOf(account.name, m_session.id))
        return Dashboard(Message(Text::StoreFailed, true));
    return Dashboard(Message(Text::PasswordChanged, false));
}

std::string CPage::Answer()
{
    const std::string_view path = m_head.Path();
    const std::string base = kPagePath;
    if (m_head.method == "GET" && path == base + "/style.css")
        return http::Answer(200, kStyle, "text/css; charset=utf-8",
                            {"Cache-Control: max-age=3600", "X-Content-Type-Options: nosniff"});
    if (m_head.method == "GET" && (path == base || path == base + "/")) {
        return FindSession() ? Dashboard({}) : LoginPage(200, {});
    }
    if (m_head.method != "POST")
        return http::Answer(m_head.method == "GET" ? 404 : 405, "not found\n");
    const std::string* type = m_head.Header("content-type");
    if (!type || type->rfind("application/x-www-form-urlencoded", 0) != 0 ||
        !http::ParseQuery(std::string_view(m_request.bytes).substr(m_head.headerBytes), m_form))
        return http::Answer(400, "a form was expected\n");
    const std::string* csrf = Form("csrf");
    if (path == base + "/login") {
        auto cookie = m_cookies.find(kLoginCookie);
        if (!csrf || cookie == m_cookies.end() || !SameText(*csrf, cookie->second) || csrf->size() != 32)
            return LoginPage(403, Message(Text::FormExpired, true));
        return Login();
    }
    // Every other form belongs to a session and carries its token: a form another site makes a browser
    // send has neither.
    if (!FindSession()) {
        if (!m_store.LastError().empty())
            return LoginPage(503, Message(Text::StoreFailed, true));
        return LoginPage(403, Message(Text::FormExpired, true));
    }
    if (!csrf || !SameText(*csrf, m_session.csrf))
        return Html(403, Message(Text::FormExpired, true));
    if (path == base + "/logout") {
        m_store.RemoveSession(m_session.id);
        m_signedIn = false;
        m_headers.push_back(Cookie(kSessionCookie, "", 0));
        return Redirect();
    }
    if (path == base + "/token")
        return NewToken();
    if (path == base + "/revoke") {
        const std::string* token = Form("token");
        if (token && !m_store.RevokeToken(m_session.account, std::strtoll(token->c_str(), nullptr, 10)) &&
            !m_store.LastError().empty())
            return Dashboard(Message(Text::StoreFailed, true));
        return Redirect();
    }
    if (path == base + "/password")
        return ChangePassword();
    return http::Answer(404, "not found\n");
}

}  // namespace

std::string PageAnswer(CProviderStore& store, CAccess& access, IncomingRequest& request, const PageOptions& options)
{
    return CPage(store, access, request, options).Answer();
}

}  // namespace provider
