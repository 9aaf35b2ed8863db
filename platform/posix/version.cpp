#include "platform/version.h"

#include <elf.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

constexpr uint16_t kTypeBinary = 0;
constexpr uint16_t kTypeText = 1;
constexpr size_t kNodeHeader = 6;
constexpr uint32_t kFixedInfoSize = 52;

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v)
{
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Append32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void Align4(std::vector<uint8_t>& out, size_t base)
{
    while ((out.size() - base) % 4 != 0)
        out.push_back(0);
}

// Appends one node; `children` writes the child nodes. The length is patched in afterwards.
template <typename Children>
void AppendNode(std::vector<uint8_t>& out, bool& overflow, std::string_view key, uint16_t type, const void* value,
                size_t valueSize, Children&& children)
{
    const size_t base = 0;
    size_t start = out.size();
    out.resize(start + kNodeHeader);
    Put16(out, start + 2, static_cast<uint16_t>(valueSize));
    Put16(out, start + 4, type);
    // Key, its terminator and the value, each padded to 4 bytes (the padding is zero).
    size_t keyAt = out.size();
    out.resize(keyAt + key.size() + 1, 0);
    if (!key.empty())
        std::memcpy(out.data() + keyAt, key.data(), key.size());
    Align4(out, base);
    size_t valueAt = out.size();
    out.resize(valueAt + valueSize, 0);
    if (valueSize)
        std::memcpy(out.data() + valueAt, value, valueSize);
    Align4(out, base);
    children();
    size_t length = out.size() - start;
    if (length > 0xFFFF || valueSize > 0xFFFF)
        overflow = true;
    Put16(out, start, static_cast<uint16_t>(length));
}

struct Node {
    size_t start = 0;
    size_t end = 0;  // one past the node's last byte
    std::string_view key;
    uint16_t type = 0;
    const uint8_t* value = nullptr;
    uint32_t valueSize = 0;
    size_t childrenStart = 0;
};

size_t RoundUp4(size_t v)
{
    return (v + 3) & ~static_cast<size_t>(3);
}

// Parses the node at `at` within [0, limit) of the block. False when it is malformed.
bool ParseNode(const std::vector<uint8_t>& block, size_t at, size_t limit, Node& node)
{
    if (at + kNodeHeader > limit)
        return false;
    const uint8_t* p = block.data() + at;
    size_t length = Get16(p);
    if (length < kNodeHeader || at + length > limit)
        return false;
    node.start = at;
    node.end = at + length;
    node.valueSize = Get16(p + 2);
    node.type = Get16(p + 4);
    size_t keyStart = at + kNodeHeader;
    const void* nul = std::memchr(block.data() + keyStart, 0, node.end - keyStart);
    if (!nul)
        return false;
    size_t keyEnd = static_cast<size_t>(static_cast<const uint8_t*>(nul) - block.data());
    node.key = std::string_view(reinterpret_cast<const char*>(block.data() + keyStart), keyEnd - keyStart);
    size_t valueStart = RoundUp4(keyEnd + 1);
    if (valueStart > node.end || node.valueSize > node.end - valueStart)
        return false;
    node.value = block.data() + valueStart;
    node.childrenStart = RoundUp4(valueStart + node.valueSize);
    return true;
}

bool KeyEquals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool FindChild(const std::vector<uint8_t>& block, const Node& parent, std::string_view key, Node& child)
{
    size_t at = parent.childrenStart;
    while (at + kNodeHeader <= parent.end) {
        Node n;
        if (!ParseNode(block, at, parent.end, n))
            return false;
        if (KeyEquals(n.key, key)) {
            child = n;
            return true;
        }
        at = RoundUp4(n.end);
    }
    return false;
}

// ---- ELF ----

class CFile {
public:
    explicit CFile(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~CFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    bool Ok() const { return m_fd >= 0; }
    bool ReadAt(uint64_t offset, void* buf, size_t size) const
    {
        auto* p = static_cast<char*>(buf);
        while (size > 0) {
            ssize_t n = ::pread(m_fd, p, size, static_cast<off_t>(offset));
            if (n <= 0)
                return false;
            p += n;
            size -= static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
        }
        return true;
    }

private:
    int m_fd;
};

struct SectionRef {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t type = 0;
};

// Finds the section named `wanted` through the section headers. Handles 32- and 64-bit files of
// this machine's byte order.
template <typename Ehdr, typename Shdr>
bool FindSection(const CFile& file, const char* wanted, SectionRef& out)
{
    Ehdr eh;
    if (!file.ReadAt(0, &eh, sizeof eh))
        return false;
    if (eh.e_shentsize != sizeof(Shdr) || eh.e_shnum == 0 || eh.e_shnum > 0xFF00 || eh.e_shstrndx >= eh.e_shnum)
        return false;
    std::vector<Shdr> sections(eh.e_shnum);
    if (!file.ReadAt(eh.e_shoff, sections.data(), sizeof(Shdr) * sections.size()))
        return false;
    const Shdr& strtab = sections[eh.e_shstrndx];
    if (strtab.sh_type != SHT_STRTAB || strtab.sh_size == 0 || strtab.sh_size > (1u << 24))
        return false;
    std::string names(static_cast<size_t>(strtab.sh_size), '\0');
    if (!file.ReadAt(strtab.sh_offset, names.data(), names.size()))
        return false;
    names.push_back('\0');  // a table without its final NUL must not run us off the end
    for (const Shdr& s : sections) {
        if (s.sh_name >= names.size() - 1)
            continue;
        if (std::strcmp(names.c_str() + s.sh_name, wanted) != 0)
            continue;
        if (s.sh_type == SHT_NOBITS)
            return false;
        out.offset = s.sh_offset;
        out.size = s.sh_size;
        out.type = s.sh_type;
        return true;
    }
    return false;
}

// The descriptor of our note in `path`: offset and size of the block inside the file.
bool LocateBlock(const CFile& file, uint64_t& offset, uint32_t& size)
{
    unsigned char ident[EI_NIDENT];
    if (!file.ReadAt(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return false;
    const bool little = ident[EI_DATA] == ELFDATA2LSB;
    const bool hostLittle = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    if (little != hostLittle)
        return false;
    SectionRef sec;
    bool found = false;
    if (ident[EI_CLASS] == ELFCLASS64)
        found = FindSection<Elf64_Ehdr, Elf64_Shdr>(file, kVersionNoteSection, sec);
    else if (ident[EI_CLASS] == ELFCLASS32)
        found = FindSection<Elf32_Ehdr, Elf32_Shdr>(file, kVersionNoteSection, sec);
    if (!found || sec.size < 12)
        return false;
    uint32_t head[3];  // namesz, descsz, type
    if (!file.ReadAt(sec.offset, head, sizeof head))
        return false;
    const uint64_t nameSpace = RoundUp4(head[0]);
    const size_t ownerSize = std::strlen(kVersionNoteOwner) + 1;
    if (head[0] != ownerSize || head[2] != kVersionNoteType || 12 + nameSpace > sec.size ||
        head[1] > sec.size - 12 - nameSpace)
        return false;
    char owner[16] = {};
    if (!file.ReadAt(sec.offset + 12, owner, ownerSize) || std::memcmp(owner, kVersionNoteOwner, ownerSize) != 0)
        return false;
    offset = sec.offset + 12 + nameSpace;
    size = head[1];
    return true;
}

}  // namespace

std::vector<uint8_t> BuildVersionBlock(const VersionDescription& d)
{
    std::vector<uint8_t> out;
    std::vector<uint8_t> fixed;
    Append32(fixed, kFixedFileInfoSignature);
    Append32(fixed, 0x00010000u);  // structure version 1.0
    Append32(fixed, (uint32_t{d.fileVersion[0]} << 16) | d.fileVersion[1]);
    Append32(fixed, (uint32_t{d.fileVersion[2]} << 16) | d.fileVersion[3]);
    Append32(fixed, (uint32_t{d.productVersion[0]} << 16) | d.productVersion[1]);
    Append32(fixed, (uint32_t{d.productVersion[2]} << 16) | d.productVersion[3]);
    Append32(fixed, 0x3F);  // flags mask
    Append32(fixed, 0);     // flags
    Append32(fixed, 0);     // operating system: unknown
    Append32(fixed, 1);     // file type: application
    Append32(fixed, 0);     // subtype
    Append32(fixed, 0);     // date, high
    Append32(fixed, 0);     // date, low

    char table[9];
    std::snprintf(table, sizeof table, "%04x%04x", d.language, d.codePage);
    const uint8_t translation[4] = {static_cast<uint8_t>(d.language), static_cast<uint8_t>(d.language >> 8),
                                    static_cast<uint8_t>(d.codePage), static_cast<uint8_t>(d.codePage >> 8)};
    bool overflow = false;
    AppendNode(out, overflow, "VS_VERSION_INFO", kTypeBinary, fixed.data(), fixed.size(), [&] {
        AppendNode(out, overflow, "StringFileInfo", kTypeText, nullptr, 0, [&] {
            AppendNode(out, overflow, table, kTypeText, nullptr, 0, [&] {
                for (const auto& [name, value] : d.strings)
                    AppendNode(out, overflow, name, kTypeText, value.c_str(), value.size() + 1, [] {});
            });
        });
        AppendNode(out, overflow, "VarFileInfo", kTypeText, nullptr, 0, [&] {
            AppendNode(out, overflow, "Translation", kTypeBinary, translation, sizeof translation, [] {});
        });
    });
    if (overflow)
        return {};
    return out;
}

uint32_t VersionBlockSize(const std::string& path)
{
    CFile file(path);
    uint64_t offset = 0;
    uint32_t size = 0;
    if (!file.Ok() || !LocateBlock(file, offset, size))
        return 0;
    return size;
}

bool ReadVersionBlock(const std::string& path, std::vector<uint8_t>& block, uint32_t maxSize)
{
    block.clear();
    CFile file(path);
    uint64_t offset = 0;
    uint32_t size = 0;
    if (!file.Ok() || !LocateBlock(file, offset, size) || size == 0 || size > maxSize)
        return false;
    block.resize(size);
    if (!file.ReadAt(offset, block.data(), size)) {
        block.clear();
        return false;
    }
    return true;
}

bool VersionQueryValue(const std::vector<uint8_t>& block, std::string_view subBlock, const uint8_t*& value,
                       uint32_t& size)
{
    value = nullptr;
    size = 0;
    Node node;
    if (!ParseNode(block, 0, block.size(), node))
        return false;
    size_t pos = 0;
    while (pos < subBlock.size()) {
        if (subBlock[pos] == '\\') {
            ++pos;
            continue;
        }
        size_t end = subBlock.find('\\', pos);
        if (end == std::string_view::npos)
            end = subBlock.size();
        Node child;
        if (!FindChild(block, node, subBlock.substr(pos, end - pos), child))
            return false;
        node = child;
        pos = end;
    }
    if (node.valueSize == 0)
        return false;
    value = node.value;
    size = node.valueSize;
    return true;
}

bool VersionFirstTranslation(const std::vector<uint8_t>& block, uint16_t& language, uint16_t& codePage)
{
    const uint8_t* value = nullptr;
    uint32_t size = 0;
    if (!VersionQueryValue(block, "\\VarFileInfo\\Translation", value, size) || size < 4)
        return false;
    language = Get16(value);
    codePage = Get16(value + 2);
    return true;
}

bool VersionStringValue(const std::vector<uint8_t>& block, std::string_view name, std::string& text)
{
    text.clear();
    uint16_t language = 0, codePage = 0;
    if (!VersionFirstTranslation(block, language, codePage))
        return false;
    char key[32];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%08lx\\",
                  static_cast<unsigned long>((uint32_t{language} << 16) | codePage));
    std::string path = std::string(key) + std::string(name);
    const uint8_t* value = nullptr;
    uint32_t size = 0;
    if (!VersionQueryValue(block, path, value, size))
        return false;
    const void* nul = std::memchr(value, 0, size);
    size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - value) : size;
    text.assign(reinterpret_cast<const char*>(value), length);
    return true;
}

bool VersionFixedFileVersion(const std::vector<uint8_t>& block, uint16_t parts[4])
{
    parts[0] = parts[1] = parts[2] = parts[3] = 0;
    const uint8_t* value = nullptr;
    uint32_t size = 0;
    if (!VersionQueryValue(block, "\\", value, size) || size < kFixedInfoSize ||
        Get32(value) != kFixedFileInfoSignature)
        return false;
    uint32_t ms = Get32(value + 8);
    uint32_t ls = Get32(value + 12);
    parts[0] = static_cast<uint16_t>(ms >> 16);
    parts[1] = static_cast<uint16_t>(ms);
    parts[2] = static_cast<uint16_t>(ls >> 16);
    parts[3] = static_cast<uint16_t>(ls);
    return true;
}

std::string ProductVersionOf(const std::string& path, uint32_t maxSize)
{
    std::vector<uint8_t> block;
    std::string text;
    if (VersionBlockSize(path) > maxSize || !ReadVersionBlock(path, block, maxSize))
        return {};
    VersionStringValue(block, "ProductVersion", text);
    return text;
}

void FileVersionOf(const std::string& path, uint16_t parts[4])
{
    std::vector<uint8_t> block;
    parts[0] = parts[1] = parts[2] = parts[3] = 0;
    if (ReadVersionBlock(path, block))
        VersionFixedFileVersion(block, parts);
}

}  // namespace platform
