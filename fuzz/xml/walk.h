#pragma once
// Walks a whole document through the cursor, reading every name, attribute and text.

#include <string>

#include "shared/xml/xml_document.h"

namespace xmlfuzz {

inline void WalkLevel(CXmlDocument& d, std::string& out, int depth)
{
    if (depth > 200)
        return;
    while (d.FindElement()) {
        out += d.TagName();
        out += '|';
        out += d.Attribute("k");
        out += '|';
        out += d.ElementText();
        out += '\n';
        if (d.FindChildElement())
            out += d.ChildElementText();
        d.EnterElement();
        d.ResetPosition();
        out += '{';
        WalkLevel(d, out, depth + 1);
        out += '}';
        d.LeaveElement();
    }
}

inline std::string Walk(CXmlDocument& d)
{
    while (d.LeaveElement()) {
    }
    d.ResetPosition();
    std::string out;
    WalkLevel(d, out, 0);
    while (d.LeaveElement()) {
    }
    d.ResetPosition();
    return out;
}

}  // namespace xmlfuzz
