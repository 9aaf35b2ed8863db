#include "shared/dns/key_file.h"

#include "shared/dns/dns_update.h"

namespace dns {

namespace {

constexpr size_t kMaxKeys = 1000;

// Tokens of BIND's configuration grammar: words, quoted strings, braces and semicolons.
class CTokens {
public:
    explicit CTokens(std::string_view text) : m_text(text) {}

    // False at the end. `quoted` tells a string from a word (the braces and ';' are words here).
    bool Next(std::string& token, bool& quoted)
    {
        SkipSpaceAndComments();
        if (m_pos >= m_text.size())
            return false;
        char c = m_text[m_pos];
        quoted = c == '"';
        token.clear();
        if (quoted) {
            for (++m_pos; m_pos < m_text.size() && m_text[m_pos] != '"'; ++m_pos) {
                if (m_text[m_pos] == '\\' && m_pos + 1 < m_text.size())
                    ++m_pos;
                token += m_text[m_pos];
            }
            m_unterminated = m_pos >= m_text.size();
            ++m_pos;
        } else if (c == '{' || c == '}' || c == ';') {
            token = c;
            ++m_pos;
        } else {
            // At least one byte: what ends a word never starts one here.
            while (m_pos < m_text.size() && !IsSpace(m_text[m_pos]) &&
                   std::string_view("{};\"#").find(m_text[m_pos]) == std::string_view::npos && !StartsComment())
                token += m_text[m_pos++];
        }
        return true;
    }
    bool Unterminated() const { return m_unterminated; }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    bool StartsComment() const
    {
        return m_text[m_pos] == '#' || (m_text[m_pos] == '/' && m_pos + 1 < m_text.size() &&
                                        (m_text[m_pos + 1] == '/' || m_text[m_pos + 1] == '*'));
    }
    void SkipSpaceAndComments()
    {
        while (m_pos < m_text.size()) {
            if (IsSpace(m_text[m_pos])) {
                ++m_pos;
            } else if (m_text.substr(m_pos, 2) == "/*") {
                size_t end = m_text.find("*/", m_pos + 2);
                m_pos = end == std::string_view::npos ? m_text.size() : end + 2;
            } else if (StartsComment()) {
                size_t end = m_text.find('\n', m_pos);
                m_pos = end == std::string_view::npos ? m_text.size() : end + 1;
            } else {
                return;
            }
        }
    }

    std::string_view m_text;
    size_t m_pos = 0;
    bool m_unterminated = false;
};

bool IsWord(const std::string& token, bool quoted, const char* word)
{
    return !quoted && token == word;
}

// Skips the rest of a statement or clause: up to its ';' outside braces. False at the end.
bool SkipStatement(CTokens& tokens)
{
    std::string token;
    bool quoted = false;
    int depth = 0;
    while (tokens.Next(token, quoted)) {
        if (IsWord(token, quoted, "{"))
            ++depth;
        else if (IsWord(token, quoted, "}"))
            --depth;
        else if (IsWord(token, quoted, ";") && depth <= 0)
            return true;
    }
    return false;
}

// The body of `key NAME { ... };` after the name.
bool ParseKeyBody(CTokens& tokens, const std::string& name, TsigKey& key, std::string& why)
{
    std::string token, algorithm, secret;
    bool quoted = false;
    if (!tokens.Next(token, quoted) || !IsWord(token, quoted, "{")) {
        why = "key \"" + name + "\": expected '{'";
        return false;
    }
    for (;;) {
        if (!tokens.Next(token, quoted)) {
            why = "key \"" + name + "\": missing '};'";
            return false;
        }
        if (IsWord(token, quoted, "}"))
            break;
        std::string value;
        bool valueQuoted = false;
        if (IsWord(token, quoted, "algorithm") || IsWord(token, quoted, "secret")) {
            std::string end;
            bool endQuoted = false;
            if (!tokens.Next(value, valueQuoted) || !tokens.Next(end, endQuoted) || !IsWord(end, endQuoted, ";")) {
                why = "key \"" + name + "\": expected '" + token + " VALUE;'";
                return false;
            }
            (token == "algorithm" ? algorithm : secret) = value;
        } else if (!SkipStatement(tokens)) {
            why = "key \"" + name + "\": missing ';'";
            return false;
        }
    }
    if (!tokens.Next(token, quoted) || !IsWord(token, quoted, ";")) {
        why = "key \"" + name + "\": expected ';' after '}'";
        return false;
    }
    if (algorithm.empty() || secret.empty()) {
        why = "key \"" + name + "\": needs both an algorithm and a secret";
        return false;
    }
    for (char& c : algorithm)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // BIND's long name of HMAC-MD5.
    if (algorithm.size() > 8 && algorithm.compare(8, std::string::npos, ".sig-alg.reg.int") == 0)
        algorithm.resize(8);
    if (!dns::ParseKey(name + ":" + algorithm + ":" + secret, key.name, key.algorithm, key.secret, why)) {
        why = "key \"" + name + "\": " + why;
        return false;
    }
    return true;
}

}  // namespace

bool ParseKeyFile(std::string_view text, std::vector<TsigKey>& keys, std::string& why)
{
    keys.clear();
    CTokens tokens(text);
    std::string token;
    bool quoted = false;
    while (tokens.Next(token, quoted)) {
        if (!IsWord(token, quoted, "key")) {
            if (IsWord(token, quoted, ";"))
                continue;
            if (!SkipStatement(tokens)) {
                why = "a statement without its ';' at the end";
                return false;
            }
            continue;
        }
        std::string name;
        bool nameQuoted = false;
        TsigKey key;
        if (!tokens.Next(name, nameQuoted) || (!nameQuoted && (name == "{" || name == ";"))) {
            why = "a key without a name";
            return false;
        }
        if (!ParseKeyBody(tokens, name, key, why))
            return false;
        if (keys.size() == kMaxKeys) {
            why = "more than " + std::to_string(kMaxKeys) + " keys";
            return false;
        }
        keys.push_back(std::move(key));
    }
    if (tokens.Unterminated()) {
        why = "a quoted text without its closing '\"'";
        return false;
    }
    return true;
}

bool ChooseKey(const std::vector<TsigKey>& keys, const std::string& name, TsigKey& key, std::string& why)
{
    std::string names;
    for (const TsigKey& k : keys) {
        if (!names.empty())
            names += ", ";
        names += k.name;
    }
    if (!name.empty()) {
        std::string wanted;
        if (dns::NormalizeName(name, wanted))
            for (const TsigKey& k : keys)
                if (k.name == wanted) {
                    key = k;
                    return true;
                }
        why = "no key named " + name + (names.empty() ? "" : " (there is " + names + ")");
        return false;
    }
    if (keys.size() == 1) {
        key = keys.front();
        return true;
    }
    why = keys.empty() ? "no key statement (key \"NAME\" { algorithm ...; secret \"...\"; };)"
                       : std::to_string(keys.size()) + " keys (" + names + "): choose one with --key-name";
    return false;
}

}  // namespace dns
