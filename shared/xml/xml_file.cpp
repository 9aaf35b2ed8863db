// CXmlDocument's files: loading with encoding detection and conversion, and saving in the
// declared encoding.

#include "shared/xml/xml_document_impl.h"

#include "shared/base/files.h"

#include <cerrno>
#include <cstring>

namespace {

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
        if (tag.find("http-equiv") == std::string_view::npos || tag.find("content-type") == std::string_view::npos)
            continue;
        size_t cs = tag.find("charset=");
        if (cs == std::string_view::npos)
            continue;
        cs += 8;
        size_t stop = cs;
        while (stop < tag.size() && tag[stop] != '"' && tag[stop] != '\'' && tag[stop] != ';' && !IsSpace(tag[stop]) &&
               tag[stop] != '/')
            ++stop;
        size_t off = static_cast<size_t>(tag.data() - head.data()) + cs;
        return std::string(text.substr(off, stop - cs));
    }
    return {};
}

}  // namespace

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

    std::string enc;    // encoding of the bytes
    bool wide = false;  // UTF-16 units
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
            d.Note("truncation_error", "encoding", "UTF-16", "length", static_cast<long long>(raw.size()));
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
        d.Note("read", "encoding", enc.empty() ? SystemEncoding() : enc, "length", static_cast<long long>(rawLength));
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
    d.Note("write", "encoding", target.empty() ? declared : target, "length", static_cast<long long>(bytes.size()));
    return true;
}
