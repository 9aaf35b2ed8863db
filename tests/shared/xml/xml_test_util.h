#pragma once
// Helpers shared by the XML engine tests.

#include <string>

#include "shared/base/files.h"
#include "shared/xml/xml_document.h"

namespace xmltest {

inline std::string Fixture(const std::string& name)
{
    return std::string(MORVANE_FIXTURES) + "/xml/" + name;
}

inline std::string ReadBytes(const std::string& path)
{
    std::string s;
    files::ReadAll(path, s);
    return s;
}

inline void DumpLevel(CXmlDocument& d, std::string& out, int depth)
{
    while (d.FindElement()) {
        out += std::string(static_cast<size_t>(depth), ' ') + d.TagName() + " k=" + d.Attribute("k") + " [" +
               d.ElementText() + "]\n";
        d.EnterElement();
        DumpLevel(d, out, depth + 1);
        d.LeaveElement();
    }
}

// The whole tree as the cursor sees it: names, attribute k, texts. Leaves the cursor at the top.
inline std::string Dump(CXmlDocument& d)
{
    while (d.LeaveElement()) {
    }
    d.ResetPosition();
    std::string out;
    DumpLevel(d, out, 0);
    while (d.LeaveElement()) {
    }
    d.ResetPosition();
    return out;
}

}  // namespace xmltest
