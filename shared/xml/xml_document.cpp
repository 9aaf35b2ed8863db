// CXmlDocument: parser, cursor, building and file encodings.

#include "shared/xml/xml_document.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "shared/base/files.h"
#include "shared/xml/xml_internal.h"

using namespace xmltext;

namespace {

enum : uint32_t {
    kEmptyTag = 1,  // written as one empty-element tag
    kUnended = 2,   // start tag without end tag: no content
    kIllFormed = 4, // (document node) structural errors were found
};

struct Node {
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t startTagLen = 0;
    uint32_t endTagLen = 0;
    uint32_t parent = 0;
    uint32_t child = 0;  // first child
    uint32_t prev = 0;   // previous sibling; the first child's prev is the last child
    uint32_t next = 0;
    uint32_t flags = 0;
};

// Node entries live in segments of 65536; full segments are never moved when the table grows.
class NodeTable {
public:
    static constexpr uint32_t kSegBits = 16;
    static constexpr uint32_t kSegSize = 1u << kSegBits;

    Node& operator[](uint32_t i) { return m_segs[i >> kSegBits][i & (kSegSize - 1)]; }
    const Node& operator[](uint32_t i) const { return m_segs[i >> kSegBits][i & (kSegSize - 1)]; }
    uint32_t Size() const { return m_size; }

    void Clear(uint32_t expected)
    {
        m_size = 0;
        if (expected > m_cap)
            Grow(expected);
    }

    uint32_t Add()
    {
        if (m_size == m_cap)
            Grow(m_cap < 16 ? 16 : m_cap + m_cap / 2);
        (*this)[m_size] = Node{};
        return m_size++;
    }

private:
    uint32_t SegCap(uint32_t cap, size_t k) const
    {
        uint64_t base = static_cast<uint64_t>(k) << kSegBits;
        if (base >= cap)
            return 0;
        return static_cast<uint32_t>(std::min<uint64_t>(kSegSize, cap - base));
    }

    void Grow(uint32_t want)
    {
        size_t segs = (static_cast<size_t>(want) + kSegSize - 1) >> kSegBits;
        if (m_segs.size() < segs)
            m_segs.resize(segs);
        for (size_t k = 0; k < segs; ++k) {
            uint32_t have = SegCap(m_cap, k);
            uint32_t need = SegCap(want, k);
            if (need <= have)
                continue;
            // Only a partly filled last segment is ever reallocated.
            std::unique_ptr<Node[]> seg(new Node[need]);
            if (have)
                std::copy(m_segs[k].get(), m_segs[k].get() + have, seg.get());
            m_segs[k] = std::move(seg);
        }
        m_cap = want;
    }

    std::vector<std::unique_ptr<Node[]>> m_segs;
    uint32_t m_size = 0;
    uint32_t m_cap = 0;
};

constexpr size_t kNotesLimit = 999;

struct NameEndTable {
    bool end[256] = {};
    NameEndTable()
    {
        for (int c = 0; c < 256; ++c)
            end[c] = IsNameEnd(static_cast<char>(c));
    }
};
constexpr size_t kMaxDocument = 0x7FFFFFF0u;

bool ValidName(const char* name)
{
    if (!name || !*name)
        return false;
    auto first = static_cast<unsigned char>(name[0]);
    if ((first >= '0' && first <= '9') || first == '-' || first == '.')
        return false;
    for (const char* p = name; *p; ++p)
        if (IsNameEnd(*p) || *p == '&' || *p == '[' || *p == ']')
            return false;
    return true;
}

bool StartsWith(std::string_view text, size_t pos, std::string_view prefix)
{
    return text.size() - pos >= prefix.size() && text.compare(pos, prefix.size(), prefix) == 0;
}

// Position just after the leading XML declaration's value of `encoding`, or the value itself.
std::string DeclaredXmlEncoding(std::string_view text)
{
    size_t p = 0;
    while (p < text.size() && IsSpace(text[p]))
        ++p;
    if (!StartsWith(text, p, "<?xml"))
        return {};
    size_t end = text.find("?>", p);
    if (end == std::string_view::npos)
        end = std::min(text.size(), p + 1024);
    std::string_view decl = text.substr(p, end - p);
    size_t e = decl.find("encoding");
    if (e == std::string_view::npos)
        return {};
    e += 8;
    while (e < decl.size() && IsSpace(decl[e]))
        ++e;
    if (e >= decl.size() || decl[e] != '=')
        return {};
    ++e;
    while (e < decl.size() && IsSpace(decl[e]))
        ++e;
    if (e >= decl.size() || (decl[e] != '"' && decl[e] != '\''))
        return {};
    char q = decl[e];
    size_t close = decl.find(q, e + 1);
    if (close == std::string_view::npos)
        return {};
    return std::string(decl.substr(e + 1, close - e - 1));
}

std::string LowerAscii(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

// The charset of an HTML meta element with http-equiv="Content-Type" in the first 1024 bytes.
std::string DeclaredHtmlCharset(std::string_view text)
{
    std::string head = LowerAscii(text.substr(0, 1024));
    size_t p = 0;
    while ((p = head.find("<meta", p)) != std::string::npos) {
        size_t end = head.find('>', p);
        if (end == std::string::npos)
            break;
        std::string_view tag(head.data() + p, end - p);
        p = end;
        if (tag.find("http-equiv") == std::string_view::npos ||
            tag.find("content-type") == std::string_view::npos)
            continue;
        size_t cs = tag.find("charset=");
        if (cs == std::string_view::npos)
            continue;
        cs += 8;
        size_t stop = cs;
        while (stop < tag.size() && tag[stop] != '"' && tag[stop] != '\'' && tag[stop] != ';' &&
               !IsSpace(tag[stop]) && tag[stop] != '/')
            ++stop;
        size_t off = static_cast<size_t>(tag.data() - head.data()) + cs;
        return std::string(text.substr(off, stop - cs));
    }
    return {};
}

}  // namespace

struct CXmlDocument::Impl {
    std::string doc;
    std::string notes;
    NodeTable nodes;
    uint32_t parent = 0;  // 0 = document level
    uint32_t main = 0;    // 0 = none
    uint32_t child = 0;   // 0 = none
    bool wellFormed = false;

    Node& N(uint32_t i) { return nodes[i]; }
    const Node& N(uint32_t i) const { return nodes[i]; }

    // ---- notes ----
    void Note(const char* event, const char* textName = nullptr, std::string_view text = {},
              const char* numName = nullptr, long long num = 0, long long offset2 = -1)
    {
        if (notes.size() > kNotesLimit)
            return;
        notes += '<';
        notes += event;
        if (textName) {
            notes += ' ';
            notes += textName;
            notes += "=\"";
            AppendEscaped(notes, text.substr(0, 64), true);
            notes += '"';
        }
        if (numName) {
            notes += ' ';
            notes += numName;
            notes += "=\"";
            notes += std::to_string(num);
            notes += '"';
        }
        if (offset2 >= 0) {
            notes += " offset2=\"";
            notes += std::to_string(offset2);
            notes += '"';
        }
        notes += "/>";
    }

    // ---- tree links ----
    void AppendChild(uint32_t p, uint32_t c)
    {
        Node& pn = N(p);
        Node& cn = N(c);
        cn.parent = p;
        cn.next = 0;
        if (pn.child == 0) {
            pn.child = c;
            cn.prev = c;
        } else {
            uint32_t last = N(pn.child).prev;
            N(last).next = c;
            cn.prev = last;
            N(pn.child).prev = c;
        }
    }

    void LinkAfter(uint32_t after, uint32_t c)
    {
        Node& an = N(after);
        Node& cn = N(c);
        cn.parent = an.parent;
        cn.prev = after;
        cn.next = an.next;
        if (an.next)
            N(an.next).prev = c;
        else
            N(N(an.parent).child).prev = c;
        an.next = c;
    }

    void Unlink(uint32_t c)
    {
        Node& cn = N(c);
        Node& pn = N(cn.parent);
        if (pn.child == c) {
            pn.child = cn.next;
            if (cn.next)
                N(cn.next).prev = cn.prev;
        } else {
            N(cn.prev).next = cn.next;
            if (cn.next)
                N(cn.next).prev = cn.prev;
            else
                N(pn.child).prev = cn.prev;
        }
        cn.parent = cn.next = cn.prev = 0;
    }

    uint32_t PrevSibling(uint32_t c) const
    {
        const Node& cn = N(c);
        return N(cn.parent).child == c ? 0 : cn.prev;
    }

    // ---- names ----
    size_t NameStart(uint32_t i) const
    {
        size_t p = N(i).start + 1;
        size_t end = N(i).start + N(i).startTagLen;
        while (p < end && IsSpace(doc[p]))
            ++p;
        return p;
    }

    std::string_view NameToken(size_t p, size_t end) const
    {
        static const NameEndTable table;
        const char* base = doc.data();
        size_t q = p;
        while (q < end) {
            auto c = static_cast<unsigned char>(base[q]);
            if (table.end[c])
                break;
            q += c >= 0x81 ? CharLength(base + q, base + end) : 1;
        }
        return std::string_view(base + p, std::min(q, end) - p);
    }

    std::string_view TagNameOf(uint32_t i) const
    {
        return NameToken(NameStart(i), N(i).start + N(i).startTagLen);
    }

    bool Matches(uint32_t i, const char* name) const
    {
        if (!name || !*name)
            return true;
        size_t p = NameStart(i);
        size_t end = N(i).start + N(i).startTagLen;
        size_t len = std::strlen(name);
        if (end - p < len || doc.compare(p, len, name) != 0)
            return false;
        if (p + len >= end)
            return true;
        switch (doc[p + len]) {
        case ' ': case '\t': case '\r': case '\n': case '=': case '/': case '[': case ']': case '>':
            return true;
        default:
            return false;
        }
    }

    uint32_t FindSibling(uint32_t from, const char* name) const
    {
        for (uint32_t i = from; i; i = N(i).next)
            if (Matches(i, name))
                return i;
        return 0;
    }

    // ---- parsing ----
    void Parse();
    struct Open {
        uint32_t node;
        uint32_t nameStart;
        uint32_t nameLen;
    };
    void CloseUnended(std::vector<Open>& open, size_t keep);

    // ---- reading ----
    std::string TextOf(uint32_t i) const
    {
        std::string out;
        if (i == 0)
            return out;
        const Node& n = N(i);
        if (n.child != 0 || (n.flags & (kEmptyTag | kUnended)))
            return out;
        size_t p = n.start + n.startTagLen;
        size_t end = n.start + n.length - n.endTagLen;
        std::string_view d(doc);
        while (p < end) {
            size_t lt = d.find('<', p);
            if (lt == std::string_view::npos || lt >= end) {
                AppendDecoded(out, d.substr(p, end - p));
                break;
            }
            AppendDecoded(out, d.substr(p, lt - p));
            std::string_view rest = d.substr(lt, end - lt);
            if (rest.rfind("<!--", 0) == 0) {
                size_t close = rest.find("-->", 4);
                p = close == std::string_view::npos ? end : lt + close + 3;
            } else if (rest.rfind("<![CDATA[", 0) == 0) {
                size_t close = rest.find("]]>", 9);
                if (close == std::string_view::npos) {
                    out.append(rest.substr(9));
                    p = end;
                } else {
                    out.append(rest.substr(9, close - 9));
                    p = lt + close + 3;
                }
            } else if (rest.rfind("<?", 0) == 0) {
                size_t close = rest.find("?>", 2);
                p = close == std::string_view::npos ? end : lt + close + 2;
            } else if (rest.rfind("</", 0) == 0 || rest.rfind("<!", 0) == 0) {
                // A stray end tag or declaration is markup, not text.
                size_t close = rest.find('>');
                p = close == std::string_view::npos ? end : lt + close + 1;
            } else {
                out += '<';
                p = lt + 1;
            }
        }
        return out;
    }

    // Locates attribute `name` in the start tag of node i: value range, whether quoted, and the
    // range of the whole attribute name.
    struct AttrPos {
        bool found = false;
        bool hasValue = false;
        bool quoted = false;
        size_t nameEnd = 0;
        size_t valueStart = 0;
        size_t valueEnd = 0;
    };

    AttrPos FindAttribute(uint32_t i, const char* name) const
    {
        AttrPos a;
        const Node& n = N(i);
        size_t end = n.start + n.startTagLen - 1;  // at '>'
        size_t p = NameStart(i);
        p += NameToken(p, end).size();
        size_t want = std::strlen(name);
        while (p < end) {
            while (p < end && IsSpace(doc[p]))
                ++p;
            if (p >= end || doc[p] == '/' || doc[p] == '>' || doc[p] == '?')
                break;
            size_t ns = p;
            while (p < end && !IsSpace(doc[p]) && doc[p] != '=' && doc[p] != '"' && doc[p] != '\'' &&
                   !(doc[p] == '/' && p + 1 == end))
                ++p;
            if (p == ns) {
                // A stray character; a stray quote runs to its partner, as when the tag was parsed.
                if (doc[p] == '"' || doc[p] == '\'') {
                    size_t close = doc.find(doc[p], p + 1);
                    p = (close == std::string::npos || close > end) ? end : close + 1;
                } else {
                    ++p;
                }
                continue;
            }
            size_t ne = p;
            while (p < end && IsSpace(doc[p]))
                ++p;
            bool hasValue = false, quoted = false;
            size_t vs = p, ve = p;
            if (p < end && doc[p] == '=') {
                hasValue = true;
                ++p;
                while (p < end && IsSpace(doc[p]))
                    ++p;
                if (p < end && (doc[p] == '"' || doc[p] == '\'')) {
                    char q = doc[p];
                    quoted = true;
                    vs = p + 1;
                    size_t close = doc.find(q, vs);
                    ve = (close == std::string::npos || close > end) ? end : close;
                    p = ve < end ? ve + 1 : end;
                } else {
                    vs = p;
                    while (p < end && !IsSpace(doc[p]) && doc[p] != '"' && doc[p] != '\'' &&
                           !(doc[p] == '/' && p + 1 == end))
                        ++p;
                    ve = p;
                }
            } else {
                p = ne;
            }
            if (ne - ns == want && doc.compare(ns, want, name) == 0) {
                a.found = true;
                a.hasValue = hasValue;
                a.quoted = quoted;
                a.nameEnd = ne;
                a.valueStart = vs;
                a.valueEnd = ve;
                return a;
            }
        }
        return a;
    }

    std::string AttributeOf(uint32_t i, const char* name) const
    {
        std::string out;
        if (i == 0 || !name || !*name)
            return out;
        AttrPos a = FindAttribute(i, name);
        if (a.found && a.hasValue)
            AppendDecoded(out, std::string_view(doc).substr(a.valueStart, a.valueEnd - a.valueStart));
        return out;
    }

    // ---- editing ----
    void ShiftSubtree(uint32_t n, int64_t d)
    {
        uint32_t cur = n;
        for (;;) {
            N(cur).start = static_cast<uint32_t>(N(cur).start + d);
            if (N(cur).child) {
                cur = N(cur).child;
                continue;
            }
            for (;;) {
                if (cur == n)
                    return;
                if (N(cur).next) {
                    cur = N(cur).next;
                    break;
                }
                cur = N(cur).parent;
            }
        }
    }

    // Nodes after `x` in document order move by d; every ancestor of x grows by d.
    void ShiftFollowing(uint32_t x, int64_t d)
    {
        for (uint32_t cur = x; cur != 0; cur = N(cur).parent) {
            for (uint32_t s = N(cur).next; s; s = N(s).next)
                ShiftSubtree(s, d);
            Node& p = N(N(cur).parent);
            p.length = static_cast<uint32_t>(p.length + d);
        }
    }

    void ShiftChildren(uint32_t x, int64_t d)
    {
        for (uint32_t c = N(x).child; c; c = N(c).next)
            ShiftSubtree(c, d);
    }

    int64_t Splice(size_t pos, size_t len, std::string_view with)
    {
        doc.replace(pos, len, with);
        return static_cast<int64_t>(with.size()) - static_cast<int64_t>(len);
    }

    // The start tag of an empty-element tag rewritten without its slash.
    std::string OpenTagOf(uint32_t i) const
    {
        const Node& n = N(i);
        std::string_view tag(doc.data() + n.start, n.startTagLen);
        size_t e = tag.size() - 1;  // '>'
        while (e > 1 && (tag[e - 1] == '/' || IsSpace(tag[e - 1])))
            --e;
        std::string r(tag.substr(0, e));
        r += '>';
        return r;
    }

    bool Insert(uint32_t p, uint32_t after, const char* name, const char* text, uint32_t& created);
    bool SetText(uint32_t i, const char* text);
    bool SetAttr(uint32_t i, const char* name, const char* value);
    bool Remove(uint32_t i);

    bool TooBig(size_t extra) const { return doc.size() + extra >= kMaxDocument; }
};

void CXmlDocument::Impl::CloseUnended(std::vector<Open>& open, size_t keep)
{
    // Innermost first: each loses its content, which moves up to follow it.
    while (open.size() > keep) {
        uint32_t e = open.back().node;
        open.pop_back();
        Node& en = N(e);
        Note("unended_start_tag", "tagname", TagNameOf(e), "offset", en.start);
        en.length = en.startTagLen;
        en.endTagLen = 0;
        en.flags |= kUnended;
        if (en.child) {
            uint32_t first = en.child;
            uint32_t last = N(first).prev;
            uint32_t p = en.parent;
            for (uint32_t c = first; c; c = N(c).next)
                N(c).parent = p;
            // e is its parent's last child, so its children simply follow it.
            en.next = first;
            N(first).prev = e;
            N(N(p).child).prev = last;
            en.child = 0;
        }
    }
}

void CXmlDocument::Impl::Parse()
{
    parent = main = child = 0;
    // A rough guess of the element count saves most regrowths.
    nodes.Clear(static_cast<uint32_t>(std::min<size_t>(doc.size() / 24 + 16, 1u << 20)));
    uint32_t root = nodes.Add();
    N(root).length = static_cast<uint32_t>(std::min(doc.size(), kMaxDocument));
    bool errors = false;
    if (doc.size() >= kMaxDocument) {
        Note("file_error", "msg", "document too large", "length", static_cast<long long>(doc.size()));
        N(root).flags |= kIllFormed;
        wellFormed = false;
        return;
    }

    const char* base = doc.data();
    const size_t n = doc.size();
    std::vector<Open> open;
    open.reserve(32);
    size_t pos = 0;

    auto unterminated = [&](const char* kind, size_t at) {
        Note("unterminated_tag_syntax", "type", kind, "offset", static_cast<long long>(at));
        errors = true;
    };

    while (pos < n) {
        const void* hit = std::memchr(base + pos, '<', n - pos);
        if (!hit)
            break;
        pos = static_cast<size_t>(static_cast<const char*>(hit) - base);
        char c1 = pos + 1 < n ? base[pos + 1] : '\0';
        if (c1 == '!') {
            std::string_view d(doc);
            if (StartsWith(d, pos, "<!--")) {
                size_t close = d.find("-->", pos + 4);
                if (close == std::string_view::npos) {
                    unterminated("comment", pos);
                    pos = n;
                } else {
                    pos = close + 3;
                }
            } else if (StartsWith(d, pos, "<![CDATA[")) {
                size_t close = d.find("]]>", pos + 9);
                if (close == std::string_view::npos) {
                    unterminated("cdata_section", pos);
                    pos = n;
                } else {
                    pos = close + 3;
                }
            } else if (StartsWith(d, pos, "<!DOCTYPE")) {
                // Up to the '>' outside quotes and outside the internal subset.
                size_t i = pos + 9;
                int depth = 0;
                char quote = 0;
                for (; i < n; ++i) {
                    char c = base[i];
                    if (quote) {
                        if (c == quote)
                            quote = 0;
                    } else if (c == '"' || c == '\'') {
                        quote = c;
                    } else if (c == '[') {
                        ++depth;
                    } else if (c == ']') {
                        if (depth > 0)
                            --depth;
                    } else if (c == '>' && depth == 0) {
                        break;
                    }
                }
                if (i >= n) {
                    unterminated("document_type", pos);
                    pos = n;
                } else {
                    if (!open.empty() || N(root).child) {
                        Note("doctype_tag_syntax", "type", "document_type", "offset",
                             static_cast<long long>(pos));
                        errors = true;
                    }
                    pos = i + 1;
                }
            } else {
                const char* kind = "exclamation_tag_syntax";
                if (StartsWith(d, pos, "<!-"))
                    kind = "comment_tag_syntax";
                else if (StartsWith(d, pos, "<!["))
                    kind = "cdata_section_syntax";
                Note(kind, "type", "tag", "offset", static_cast<long long>(pos));
                errors = true;
                size_t close = d.find('>', pos + 2);
                pos = close == std::string_view::npos ? n : close + 1;
            }
            continue;
        }
        if (c1 == '?') {
            std::string_view d(doc);
            size_t close = d.find("?>", pos + 2);
            if (close == std::string_view::npos) {
                unterminated("processing_instruction", pos);
                pos = n;
            } else {
                pos = close + 2;
            }
            continue;
        }
        if (c1 == '/') {
            const void* gt = std::memchr(base + pos + 2, '>', n - pos - 2);
            if (!gt) {
                unterminated("end_tag", pos);
                pos = n;
                break;
            }
            size_t tagEnd = static_cast<size_t>(static_cast<const char*>(gt) - base) + 1;
            size_t ns = pos + 2;
            while (ns < tagEnd && IsSpace(base[ns]))
                ++ns;
            std::string_view name = NameToken(ns, tagEnd - 1);
            // The innermost open element of that name.
            size_t k = open.size();
            while (k > 0) {
                const Open& o = open[k - 1];
                if (o.nameLen == name.size() && std::memcmp(base + o.nameStart, name.data(), name.size()) == 0)
                    break;
                --k;
            }
            if (k == 0 || name.empty()) {
                Note("lone_end_tag", "tagname", name, "offset", static_cast<long long>(pos));
                errors = true;
            } else {
                if (k < open.size()) {
                    errors = true;
                    CloseUnended(open, k);
                }
                uint32_t e = open.back().node;
                open.pop_back();
                Node& en = N(e);
                en.length = static_cast<uint32_t>(tagEnd - en.start);
                en.endTagLen = static_cast<uint32_t>(tagEnd - pos);
            }
            pos = tagEnd;
            continue;
        }
        if (IsNameEnd(c1) || c1 == '&' || (c1 >= '0' && c1 <= '9') || c1 == '-' || c1 == '.') {
            // A '<' that starts no markup.
            Note("first_tag_syntax", "type", "tag", "offset", static_cast<long long>(pos));
            errors = true;
            ++pos;
            continue;
        }
        // Start or empty-element tag: up to the '>' outside quotes.
        size_t i = pos + 1;
        bool bad = false;
        for (; i < n; ++i) {
            char c = base[i];
            if (c > '>')
                continue;  // most bytes of a tag
            if (c == '>')
                break;
            if (c == '"' || c == '\'') {
                const void* q = std::memchr(base + i + 1, c, n - i - 1);
                if (!q) {
                    i = n;
                    break;
                }
                i = static_cast<size_t>(static_cast<const char*>(q) - base);
            } else if (c == '<') {
                bad = true;
                break;
            }
        }
        if (i >= n || bad) {
            unterminated("start_tag", pos);
            pos = i >= n ? n : i;
            continue;
        }
        size_t tagEnd = i + 1;
        uint32_t e = nodes.Add();
        Node& en = N(e);
        en.start = static_cast<uint32_t>(pos);
        en.startTagLen = static_cast<uint32_t>(tagEnd - pos);
        AppendChild(open.empty() ? root : open.back().node, e);
        if (base[i - 1] == '/') {
            N(e).length = N(e).startTagLen;
            N(e).flags |= kEmptyTag;
        } else {
            size_t ns = NameStart(e);
            std::string_view nm = NameToken(ns, tagEnd);
            open.push_back(Open{e, static_cast<uint32_t>(ns), static_cast<uint32_t>(nm.size())});
        }
        pos = tagEnd;
    }
    if (!open.empty()) {
        errors = true;
        CloseUnended(open, 0);
    }

    uint32_t tops = 0;
    for (uint32_t c = N(root).child; c; c = N(c).next)
        ++tops;
    if (tops == 0) {
        Note("no_root_element");
        errors = true;
    } else if (tops > 1) {
        Note("root_has_sibling", nullptr, {}, "count", tops);
        errors = true;
    }
    if (errors)
        N(root).flags |= kIllFormed;
    wellFormed = !errors;
}

bool CXmlDocument::Impl::Insert(uint32_t p, uint32_t after, const char* name, const char* text,
                                uint32_t& created)
{
    if (!ValidName(name))
        return false;
    std::string elem;
    elem += '<';
    elem += name;
    size_t startTag;
    size_t endTag = 0;
    if (text && *text) {
        elem += '>';
        startTag = elem.size();
        AppendEscaped(elem, text, false);
        elem += "</";
        elem += name;
        elem += '>';
        endTag = std::strlen(name) + 3;
    } else {
        elem += "/>";
        startTag = elem.size();
    }
    size_t elemLen = elem.size();
    elem += "\r\n";
    if (TooBig(elem.size() + 64))
        return false;

    uint32_t e = nodes.Add();
    {
        Node& en = N(e);
        en.length = static_cast<uint32_t>(elemLen);
        en.startTagLen = static_cast<uint32_t>(startTag);
        en.endTagLen = static_cast<uint32_t>(endTag);
        en.flags = endTag ? 0u : static_cast<uint32_t>(kEmptyTag);
    }

    if (p != 0 && (N(p).flags & kEmptyTag)) {
        // <a/> becomes <a>, CR LF, the new element, </a>.
        std::string open = OpenTagOf(p);
        std::string repl = open + "\r\n" + elem + "</" + std::string(TagNameOf(p)) + ">";
        Node& pn = N(p);
        size_t endLen = repl.size() - open.size() - 2 - elem.size();
        int64_t d = Splice(pn.start, pn.length, repl);
        pn.startTagLen = static_cast<uint32_t>(open.size());
        pn.endTagLen = static_cast<uint32_t>(endLen);
        pn.length = static_cast<uint32_t>(repl.size());
        pn.flags &= ~kEmptyTag;
        N(e).start = static_cast<uint32_t>(pn.start + open.size() + 2);
        AppendChild(p, e);
        ShiftFollowing(p, d);
    } else {
        size_t pos;
        size_t limit = p ? N(p).start + N(p).length - N(p).endTagLen : doc.size();
        if (after) {
            pos = N(after).start + N(after).length;
            // Step over the predecessor's line break so the new element gets a line of its own.
            if (pos + 1 < limit && doc[pos] == '\r' && doc[pos + 1] == '\n')
                pos += 2;
            else if (pos < limit && doc[pos] == '\n')
                pos += 1;
        } else {
            pos = limit;
        }
        int64_t d = Splice(pos, 0, elem);
        N(e).start = static_cast<uint32_t>(pos);
        if (after)
            LinkAfter(after, e);
        else
            AppendChild(p, e);
        ShiftFollowing(e, d);
    }
    created = e;
    return true;
}

bool CXmlDocument::Impl::SetText(uint32_t i, const char* text)
{
    if (i == 0)
        return false;
    std::string esc;
    if (text)
        AppendEscaped(esc, text, false);
    if (TooBig(esc.size() + 64))
        return false;
    Node& n = N(i);
    if (n.flags & kUnended)
        return false;  // its content is not its own
    if (n.flags & kEmptyTag) {
        if (esc.empty())
            return true;
        std::string open = OpenTagOf(i);
        std::string close = "</" + std::string(TagNameOf(i)) + ">";
        std::string repl = open + esc + close;
        int64_t d = Splice(n.start, n.length, repl);
        n.startTagLen = static_cast<uint32_t>(open.size());
        n.endTagLen = static_cast<uint32_t>(close.size());
        n.length = static_cast<uint32_t>(repl.size());
        n.flags &= ~kEmptyTag;
        ShiftFollowing(i, d);
        return true;
    }
    // Child elements go with the old content.
    while (n.child)
        Unlink(n.child);
    size_t cs = n.start + n.startTagLen;
    size_t ce = n.start + n.length - n.endTagLen;
    int64_t d = Splice(cs, ce - cs, esc);
    n.length = static_cast<uint32_t>(n.length + d);
    ShiftFollowing(i, d);
    return true;
}

bool CXmlDocument::Impl::SetAttr(uint32_t i, const char* name, const char* value)
{
    if (i == 0 || !ValidName(name))
        return false;
    std::string esc;
    if (value)
        AppendEscaped(esc, value, true);
    if (TooBig(esc.size() + std::strlen(name) + 64))
        return false;
    AttrPos a = FindAttribute(i, name);
    Node& n = N(i);
    int64_t d;
    if (a.found && a.quoted) {
        // An unterminated quote ran to the tag's end: close it.
        bool closed = a.valueEnd < n.start + n.startTagLen - 1;
        d = closed ? Splice(a.valueStart, a.valueEnd - a.valueStart, esc)
                   : Splice(a.valueStart - 1, a.valueEnd - a.valueStart + 1, "\"" + esc + "\"");
    } else if (a.found && a.hasValue) {
        d = Splice(a.valueStart, a.valueEnd - a.valueStart, "\"" + esc + "\"");
    } else if (a.found) {
        d = Splice(a.nameEnd, 0, "=\"" + esc + "\"");
    } else {
        size_t pos = n.start + n.startTagLen - 1;  // '>'
        if ((n.flags & kEmptyTag) && doc[pos - 1] == '/')
            --pos;
        while (pos > n.start + 1 && IsSpace(doc[pos - 1]))
            --pos;
        d = Splice(pos, 0, " " + std::string(name) + "=\"" + esc + "\"");
    }
    n.startTagLen = static_cast<uint32_t>(n.startTagLen + d);
    n.length = static_cast<uint32_t>(n.length + d);
    ShiftChildren(i, d);
    ShiftFollowing(i, d);
    return true;
}

bool CXmlDocument::Impl::Remove(uint32_t i)
{
    if (i == 0)
        return false;
    Node& n = N(i);
    size_t s = n.start;
    size_t e = s + n.length;
    // Only blanks inside the parent go: an element without end tag does not own what follows it.
    const Node& p = N(n.parent);
    size_t limit = n.parent ? p.start + p.length - p.endTagLen : doc.size();
    size_t j = e;
    while (j < limit && IsSpace(doc[j]))
        ++j;
    if (j < doc.size() && doc[j] == '<')
        e = j;
    uint32_t prev = PrevSibling(i);
    int64_t d = Splice(s, e - s, {});
    ShiftFollowing(i, d);
    Unlink(i);
    main = prev;
    child = 0;
    return true;
}

// ---------------------------------------------------------------------------------------------

CXmlDocument::CXmlDocument() : m_impl(new Impl)
{
    m_impl->nodes.Clear(16);
    m_impl->nodes.Add();  // the document node
}

CXmlDocument::~CXmlDocument() { delete m_impl; }

bool CXmlDocument::SetDocument(std::string_view text)
{
    m_impl->notes.clear();
    m_impl->doc.assign(text);
    m_impl->Parse();
    return m_impl->wellFormed;
}

const std::string& CXmlDocument::Document() const { return m_impl->doc; }

const std::string& CXmlDocument::ResultNotes() const { return m_impl->notes; }

bool CXmlDocument::LoadFile(const std::string& path)
{
    Impl& d = *m_impl;
    d.notes.clear();
    std::string raw;
    errno = 0;
    if (path.empty() || !files::ReadAll(path, raw)) {
        int err = errno;
        d.Note("file_error", "msg", std::strerror(err ? err : ENOENT), "n", err);
        d.doc.clear();
        d.Parse();
        return false;
    }
    const size_t rawLength = raw.size();

    std::string enc;        // encoding of the bytes
    bool wide = false;      // UTF-16 units
    bool bigEndian = false;
    auto byte = [&](size_t k) { return k < raw.size() ? static_cast<unsigned char>(raw[k]) : 0x100u; };
    if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        d.Note("bom", "encoding", "UTF-8");
        raw.erase(0, 3);
        enc = "UTF-8";
    } else if (byte(0) == 0xFF && byte(1) == 0xFE) {
        d.Note("bom", "encoding", "UTF-16LE");
        raw.erase(0, 2);
        wide = true;
    } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
        d.Note("bom", "encoding", "UTF-16BE");
        raw.erase(0, 2);
        wide = bigEndian = true;
    } else if (byte(0) == '<' && byte(1) == 0 && byte(2) != 0x100u && byte(3) == 0) {
        wide = true;  // UTF-16 without a mark, as SaveFile writes it
    } else if (byte(0) == 0 && byte(1) == '<' && byte(2) == 0) {
        wide = bigEndian = true;
    }

    std::string text;
    if (wide) {
        if (raw.size() % 2) {
            d.Note("truncation_error", "encoding", "UTF-16", "length",
                   static_cast<long long>(raw.size()));
            raw.pop_back();
        }
        if (bigEndian) {
            for (size_t k = 0; k + 1 < raw.size(); k += 2)
                std::swap(raw[k], raw[k + 1]);
            d.Note("endian_swap", nullptr, {}, "length", static_cast<long long>(raw.size() / 2));
        }
        size_t out = 0, nulls = 0;
        for (size_t k = 0; k + 1 < raw.size(); k += 2) {
            if (raw[k] == 0 && raw[k + 1] == 0) {
                ++nulls;
                continue;
            }
            raw[out++] = raw[k];
            raw[out++] = raw[k + 1];
        }
        raw.resize(out);
        if (nulls)
            d.Note("nulls_removed", nullptr, {}, "count", static_cast<long long>(nulls));
        enc = "UTF-16LE";
        d.Note("read", "encoding", "UTF-16", "length", static_cast<long long>(rawLength));
    } else {
        size_t nulls = static_cast<size_t>(std::count(raw.begin(), raw.end(), '\0'));
        if (nulls) {
            raw.erase(std::remove(raw.begin(), raw.end(), '\0'), raw.end());
            d.Note("nulls_removed", nullptr, {}, "count", static_cast<long long>(nulls));
        }
        if (enc.empty()) {
            std::string declared = DeclaredXmlEncoding(raw);
            if (declared.empty())
                declared = DeclaredHtmlCharset(raw);
            if (!declared.empty()) {
                enc = ResolveEncoding(declared);  // unknown names: bytes kept as they are
                if (enc.rfind("UTF-16", 0) == 0 || enc.rfind("UTF-32", 0) == 0)
                    enc.clear();  // declared wide but stored narrow: take the bytes as they are
            } else if (!raw.empty() && raw[0] == '<') {
                bool utf8 = IsValidUtf8(raw);
                d.Note("utf8_detection", "type", utf8 ? "UTF-8" : SystemEncoding(), "length",
                       static_cast<long long>(raw.size()));
                if (utf8)
                    enc = "UTF-8";
            }
        }
        d.Note("read", "encoding", enc.empty() ? SystemEncoding() : enc, "length",
               static_cast<long long>(rawLength));
    }

    const std::string& sys = SystemEncoding();
    if (!enc.empty() && enc != sys) {
        size_t lost = 0;
        if (Convert(raw, enc, sys, text, lost)) {
            d.Note("converted_from", "encoding", enc, "length", static_cast<long long>(raw.size()));
            d.Note("converted_to", "encoding", sys, "length", static_cast<long long>(text.size()));
            if (lost)
                d.Note("conversion_loss", nullptr, {}, "count", static_cast<long long>(lost));
        } else {
            d.Note("conversion_loss", "encoding", enc, "count", -1);
            text = std::move(raw);
        }
    } else {
        text = std::move(raw);
    }
    d.doc = std::move(text);
    d.Parse();
    return d.wellFormed;
}

bool CXmlDocument::SaveFile(const std::string& path)
{
    Impl& d = *m_impl;
    std::string declared = DeclaredXmlEncoding(d.doc);
    if (declared.empty())
        declared = "UTF-8";
    std::string target = ResolveEncoding(declared);
    const std::string& sys = SystemEncoding();
    std::string bytes;
    if (!target.empty() && target != sys) {
        size_t lost = 0;
        if (!Convert(d.doc, sys, target, bytes, lost)) {
            d.Note("conversion_loss", "encoding", target, "count", -1);
            bytes = d.doc;
        } else {
            d.Note("converted_from", "encoding", sys, "length", static_cast<long long>(d.doc.size()));
            d.Note("converted_to", "encoding", target, "length", static_cast<long long>(bytes.size()));
            if (lost)
                d.Note("conversion_loss", nullptr, {}, "count", static_cast<long long>(lost));
        }
    } else {
        bytes = d.doc;
    }
    errno = 0;
    if (path.empty() || !files::ReplaceAtomically(path, bytes)) {
        int err = errno;
        d.Note("file_error", "msg", std::strerror(err ? err : EINVAL), "n", err);
        return false;
    }
    d.Note("write", "encoding", target.empty() ? declared : target, "length",
           static_cast<long long>(bytes.size()));
    return true;
}

void CXmlDocument::ResetPosition()
{
    m_impl->main = 0;
    m_impl->child = 0;
}

bool CXmlDocument::FindElement(const char* name)
{
    Impl& d = *m_impl;
    uint32_t from = d.main ? d.N(d.main).next : d.N(d.parent).child;
    uint32_t found = d.FindSibling(from, name);
    if (!found)
        return false;
    d.main = found;
    d.child = 0;
    return true;
}

bool CXmlDocument::FindChildElement(const char* name)
{
    Impl& d = *m_impl;
    if (!d.main && !FindElement(nullptr))
        return false;
    uint32_t from = d.child ? d.N(d.child).next : d.N(d.main).child;
    uint32_t found = d.FindSibling(from, name);
    if (!found)
        return false;
    d.child = found;
    return true;
}

bool CXmlDocument::EnterElement()
{
    Impl& d = *m_impl;
    if (!d.main)
        return false;
    d.parent = d.main;
    d.main = d.child;
    d.child = 0;
    return true;
}

bool CXmlDocument::LeaveElement()
{
    Impl& d = *m_impl;
    if (!d.parent)
        return false;
    d.child = d.main;
    d.main = d.parent;
    d.parent = d.N(d.parent).parent;
    return true;
}

std::string CXmlDocument::ElementText() const { return m_impl->TextOf(m_impl->main); }

std::string CXmlDocument::ChildElementText() const { return m_impl->TextOf(m_impl->child); }

std::string CXmlDocument::Attribute(const char* name) const
{
    return m_impl->AttributeOf(m_impl->main, name);
}

std::string CXmlDocument::ChildAttribute(const char* name) const
{
    return m_impl->AttributeOf(m_impl->child, name);
}

std::string CXmlDocument::TagName() const
{
    if (!m_impl->main)
        return {};
    return std::string(m_impl->TagNameOf(m_impl->main));
}

bool CXmlDocument::AppendElement(const char* name, const char* text)
{
    Impl& d = *m_impl;
    uint32_t e = 0;
    if (!d.Insert(d.parent, d.main, name, text, e))
        return false;
    d.main = e;
    d.child = 0;
    return true;
}

bool CXmlDocument::AppendChildElement(const char* name, const char* text)
{
    Impl& d = *m_impl;
    if (!d.main)
        return false;
    uint32_t e = 0;
    if (!d.Insert(d.main, d.child, name, text, e))
        return false;
    d.child = e;
    return true;
}

bool CXmlDocument::AppendChildElement(const char* name, int value)
{
    return AppendChildElement(name, std::to_string(value).c_str());
}

bool CXmlDocument::SetElementText(const char* text)
{
    Impl& d = *m_impl;
    if (!d.SetText(d.main, text))
        return false;
    d.child = 0;
    return true;
}

bool CXmlDocument::SetAttribute(const char* name, const char* value)
{
    return m_impl->SetAttr(m_impl->main, name, value);
}

bool CXmlDocument::SetAttribute(const char* name, int value)
{
    return SetAttribute(name, std::to_string(value).c_str());
}

bool CXmlDocument::RemoveElement() { return m_impl->Remove(m_impl->main); }
