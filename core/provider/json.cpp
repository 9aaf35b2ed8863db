#include "core/provider/json.h"

#include <cstdio>
#include <cstdlib>

class CJsonReader {
public:
    explicit CJsonReader(std::string_view text) : m_text(text) {}

    bool Document(CJson& value) { return Value(value, 0) && (Space(), m_pos == m_text.size()); }

private:
    static constexpr int kMaxDepth = 32;
    static constexpr size_t kMaxValues = 10000;

    void Space()
    {
        while (m_pos < m_text.size() &&
               (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r'))
            ++m_pos;
    }
    bool Take(char c)
    {
        Space();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word)
    {
        if (m_text.substr(m_pos, word.size()) != word)
            return false;
        m_pos += word.size();
        return true;
    }
    static void Utf8(unsigned code, std::string& out)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool Hex4(unsigned& code)
    {
        if (m_pos + 4 > m_text.size())
            return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            char c = m_text[m_pos++];
            unsigned d = c >= '0' && c <= '9'   ? unsigned(c - '0')
                         : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                : 16u;
            if (d == 16)
                return false;
            code = code * 16 + d;
        }
        return true;
    }
    bool String(std::string& out)
    {
        if (!Take('"'))
            return false;
        out.clear();
        while (m_pos < m_text.size()) {
            unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_pos >= m_text.size())
                return false;
            char e = m_text[m_pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned code = 0;
                if (!Hex4(code))
                    return false;
                if (code >= 0xD800 && code < 0xDC00) {  // a surrogate pair
                    unsigned low = 0;
                    if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF)
                        return false;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code < 0xE000) {
                    return false;
                }
                Utf8(code, out);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool Number(std::string& out)
    {
        size_t start = m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '-')
            ++m_pos;
        size_t digits = m_pos;
        while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9')
            ++m_pos;
        if (m_pos == digits)
            return false;
        auto more = [&](std::string_view signs) {
            if (m_pos < m_text.size() && signs.find(m_text[m_pos]) != std::string_view::npos)
                ++m_pos;
        };
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            size_t f = m_pos;
            while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9')
                ++m_pos;
            if (m_pos == f)
                return false;
        }
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            ++m_pos;
            more("+-");
            size_t f = m_pos;
            while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9')
                ++m_pos;
            if (m_pos == f)
                return false;
        }
        out.assign(m_text.substr(start, m_pos - start));
        return true;
    }
    bool Value(CJson& v, int depth)
    {
        if (depth > kMaxDepth || ++m_values > kMaxValues)
            return false;
        Space();
        if (m_pos >= m_text.size())
            return false;
        char c = m_text[m_pos];
        if (c == '{') {
            ++m_pos;
            v.m_type = CJson::Type::Object;
            if (Take('}'))
                return true;
            do {
                std::string key;
                Space();
                if (!String(key) || !Take(':'))
                    return false;
                v.m_keys.push_back(std::move(key));
                v.m_items.emplace_back();
                if (!Value(v.m_items.back(), depth + 1))
                    return false;
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++m_pos;
            v.m_type = CJson::Type::Array;
            if (Take(']'))
                return true;
            do {
                v.m_items.emplace_back();
                if (!Value(v.m_items.back(), depth + 1))
                    return false;
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            v.m_type = CJson::Type::String;
            return String(v.m_text);
        }
        if (Word("true") || Word("false")) {
            v.m_type = CJson::Type::Bool;
            v.m_text = m_text[m_pos - 1] == 'e' && m_text.substr(m_pos - 4, 4) == "true" ? "true" : "false";
            return true;
        }
        if (Word("null"))
            return true;
        v.m_type = CJson::Type::Number;
        return Number(v.m_text);
    }

    std::string_view m_text;
    size_t m_pos = 0;
    size_t m_values = 0;
};

bool CJson::Parse(std::string_view text, CJson& value)
{
    CJson parsed;
    CJsonReader reader(text);
    if (!reader.Document(parsed))
        return false;
    value = std::move(parsed);
    return true;
}

std::string CJson::Quote(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const CJson* CJson::Get(std::string_view key) const
{
    if (m_type != Type::Object)
        return nullptr;
    for (size_t i = 0; i < m_keys.size(); ++i)
        if (m_keys[i] == key)
            return &m_items[i];
    return nullptr;
}

std::string CJson::Text(std::string_view key, const std::string& fallback) const
{
    const CJson* v = Get(key);
    return v && v->m_type == Type::String ? v->m_text : fallback;
}

long long CJson::Integer(std::string_view key, long long fallback) const
{
    const CJson* v = Get(key);
    if (!v || v->m_type != Type::Number)
        return fallback;
    char* end = nullptr;
    long long n = std::strtoll(v->m_text.c_str(), &end, 10);
    return *end ? fallback : n;
}

bool CJson::True(std::string_view key) const
{
    const CJson* v = Get(key);
    return v && v->m_type == Type::Bool && v->m_text == "true";
}
