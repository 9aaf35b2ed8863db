#include "tools/provider/http.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace provider::http {
namespace {

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool IsToken(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos)
            return false;
    return true;
}

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

const std::string* Request::Header(std::string_view name) const
{
    for (const auto& [k, v] : headers)
        if (k == name)
            return &v;
    return nullptr;
}

std::string_view Request::Path() const
{
    std::string_view t = target;
    return t.substr(0, t.find('?'));
}

std::string_view Request::Query() const
{
    size_t q = target.find('?');
    return q == std::string::npos ? std::string_view() : std::string_view(target).substr(q + 1);
}

namespace {

// The request line and the header fields, without the blank line that ends them.
Framing ParseHead(std::string_view head, size_t headerBytes, Request& request)
{
    Request r;
    r.headerBytes = headerBytes;
    size_t lineEnd = head.find('\n');
    std::string_view line = Trim(head.substr(0, lineEnd));
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
        return Framing::Bad;
    r.method = std::string(line.substr(0, sp1));
    r.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    std::string_view version = line.substr(sp2 + 1);
    if (!IsToken(r.method) || r.target.empty() || r.target.front() != '/' ||
        (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return Framing::Bad;

    bool haveLength = false;
    while (lineEnd != std::string_view::npos) {
        head.remove_prefix(lineEnd + 1);
        lineEnd = head.find('\n');
        std::string_view field = Trim(head.substr(0, lineEnd));
        size_t colon = field.find(':');
        if (colon == std::string_view::npos || !IsToken(field.substr(0, colon)))
            return Framing::Bad;
        std::string name = Lower(field.substr(0, colon));
        std::string_view value = Trim(field.substr(colon + 1));
        if (name == "transfer-encoding")
            return Framing::Unsupported;
        if (name == "content-length") {
            uint64_t n = 0;
            if (value.empty() || value.size() > 12)
                return Framing::Bad;
            for (char c : value) {
                if (c < '0' || c > '9')
                    return Framing::Bad;
                n = n * 10 + static_cast<uint64_t>(c - '0');
            }
            if (haveLength && n != r.contentLength)
                return Framing::Bad;  // conflicting lengths: a smuggling attempt or a broken client
            r.contentLength = static_cast<size_t>(n);
            haveLength = true;
        }
        r.headers.emplace_back(std::move(name), std::string(value));
    }
    request = std::move(r);
    return Framing::Complete;
}

}  // namespace

Framing CFramer::Feed(std::string_view bytes)
{
    if (!m_haveHead) {
        if (m_headVerdict == Framing::Bad)
            return Framing::Bad;
        // The head ends at the first blank line; bare LF line ends are tolerated, as most servers do.
        // Only the new bytes are searched, each line end looking back at most three bytes.
        size_t limit = std::min(bytes.size(), kMaxHeaderBytes);
        size_t end = std::string_view::npos;  // where the blank line starts
        size_t headerBytes = 0;               // and the byte after it
        for (size_t i = m_scanned; i < limit; ++i) {
            char c = bytes[i];
            if (!m_methodDone) {
                // A request that cannot be HTTP (a TLS hello on the plain port, say) is refused without
                // waiting for the rest: its method, as far as it has arrived, must be a token.
                m_methodDone = c == ' ' || c == '\n';
                if ((m_methodDone && i == 0) || (!m_methodDone && !IsToken(std::string_view(&c, 1))))
                    m_headVerdict = Framing::Bad;
            }
            if (c != '\n')
                continue;
            if (i >= 1 && bytes[i - 1] == '\n')
                end = i - 1;
            else if (i >= 3 && bytes.substr(i - 3, 3) == "\r\n\r")
                end = i - 3;
            if (end != std::string_view::npos) {
                headerBytes = i + 1;
                break;
            }
        }
        if (end == std::string_view::npos) {
            m_scanned = limit;
            if (m_headVerdict == Framing::Bad)
                return Framing::Bad;
            return bytes.size() > kMaxHeaderBytes ? Framing::TooLarge : Framing::Incomplete;
        }
        // Whatever the method looked like, a complete head is judged as a whole (as when it came at once).
        m_haveHead = true;
        m_headVerdict = ParseHead(bytes.substr(0, end), headerBytes, m_request);
        if (m_headVerdict == Framing::Complete && m_request.contentLength > m_maxBody)
            m_headVerdict = Framing::TooLarge;
    }
    if (m_headVerdict != Framing::Complete)
        return m_headVerdict;
    return bytes.size() >= m_request.headerBytes + m_request.contentLength ? Framing::Complete : Framing::Incomplete;
}

Framing Frame(std::string_view bytes, size_t maxBodyBytes, Request& request)
{
    CFramer framer(maxBodyBytes);
    Framing framing = framer.Feed(bytes);
    if (framer.Parsed())
        request = framer.TakeHead();
    return framing;
}

std::string Answer(int status, std::string_view body, std::string_view contentType,
                   const std::vector<std::string>& extraHeaders)
{
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    out += "Server: morvane-provider\r\n";
    if (!contentType.empty())
        out.append("Content-Type: ").append(contentType).append("\r\n");
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& h : extraHeaders)
        out.append(h).append("\r\n");
    out += "Connection: close\r\n\r\n";
    out.append(body);
    return out;
}

std::string FramingAnswer(Framing framing)
{
    switch (framing) {
    case Framing::TooLarge: return Answer(413, "request too large\n");
    case Framing::Unsupported: return Answer(501, "only Content-Length bodies are accepted\n");
    default: return Answer(400, "malformed HTTP request\n");
    }
}

bool PercentDecode(std::string_view text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            int hi = HexValue(text[i + 1]);
            int lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

bool ParseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>& params)
{
    params.clear();
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        std::string name;
        std::string value;
        if (!PercentDecode(item.substr(0, eq), name) ||
            (eq != std::string_view::npos && !PercentDecode(item.substr(eq + 1), value)))
            return false;
        params.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

bool Base64Decode(std::string_view text, std::string& out)
{
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    uint32_t bits = 0;
    int count = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=' && i + 2 >= text.size()) {
            ++padding;
            v = 0;
        } else
            return false;
        if (padding && c != '=')
            return false;  // data after padding
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xFF);
            out += static_cast<char>((bits >> 8) & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    out.resize(out.size() - padding);
    return true;
}

}  // namespace provider::http
