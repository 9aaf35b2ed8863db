// CXmlDocument's parser: builds the node tree over the document text and notes what it repairs.

#include "shared/xml/xml_document_impl.h"

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
                        Note("doctype_tag_syntax", "type", "document_type", "offset", static_cast<long long>(pos));
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
