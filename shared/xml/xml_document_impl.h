#pragma once
// The tree behind CXmlDocument, shared by its source files: the parser (xml_parser.cpp), file
// loading and saving (xml_file.cpp), and the cursor and editing API (xml_document.cpp). Not part of
// the public API.

#include "shared/xml/xml_document.h"
#include "shared/xml/xml_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace xmldoc {

using namespace xmltext;

enum : uint32_t {
    kEmptyTag = 1,   // written as one empty-element tag
    kUnended = 2,    // start tag without end tag: no content
    kIllFormed = 4,  // (document node) structural errors were found
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

inline bool ValidName(const char* name)
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

inline bool StartsWith(std::string_view text, size_t pos, std::string_view prefix)
{
    return text.size() - pos >= prefix.size() && text.compare(pos, prefix.size(), prefix) == 0;
}

}  // namespace xmldoc

using namespace xmldoc;

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

    std::string_view TagNameOf(uint32_t i) const { return NameToken(NameStart(i), N(i).start + N(i).startTagLen); }

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
        case ' ':
        case '\t':
        case '\r':
        case '\n':
        case '=':
        case '/':
        case '[':
        case ']':
        case '>': return true;
        default: return false;
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
