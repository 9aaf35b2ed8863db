// CXmlDocument: construction, the cursor, and editing.

#include "shared/xml/xml_document_impl.h"

#include <cstring>

bool CXmlDocument::Impl::Insert(uint32_t p, uint32_t after, const char* name, const char* text, uint32_t& created)
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
        std::string attribute(1, ' ');  // built by appending: g++ 12 -O3 reports a false -Wrestrict on " " + ...
        attribute.append(name).append("=\"").append(esc).append("\"");
        d = Splice(pos, 0, attribute);
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

CXmlDocument::~CXmlDocument()
{
    delete m_impl;
}

bool CXmlDocument::SetDocument(std::string_view text)
{
    m_impl->notes.clear();
    m_impl->doc.assign(text);
    m_impl->Parse();
    return m_impl->wellFormed;
}

const std::string& CXmlDocument::Document() const
{
    return m_impl->doc;
}

const std::string& CXmlDocument::ResultNotes() const
{
    return m_impl->notes;
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

std::string CXmlDocument::ElementText() const
{
    return m_impl->TextOf(m_impl->main);
}

std::string CXmlDocument::ChildElementText() const
{
    return m_impl->TextOf(m_impl->child);
}

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

bool CXmlDocument::RemoveElement()
{
    return m_impl->Remove(m_impl->main);
}
