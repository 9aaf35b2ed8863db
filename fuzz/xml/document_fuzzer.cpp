// SetDocument on arbitrary text, a full walk, then edits driven by the input. For a well-formed
// document the edited tree must equal the tree parsed afresh from the edited text.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "fuzz/xml/walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string ops = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 24));
    std::string text = in.ConsumeRemainingBytesAsString();

    CXmlDocument d;
    bool wellFormed = d.SetDocument(text);
    xmlfuzz::Walk(d);

    const char* names[] = {"a", "item", "k", nullptr};
    for (unsigned char op : ops) {
        const char* name = names[(op >> 4) & 3];
        const char* value = (op & 0x40) ? "v<&'\">" : "";
        switch (op & 15) {
        case 0: d.FindElement(name); break;
        case 1: d.FindChildElement(name); break;
        case 2: d.EnterElement(); break;
        case 3: d.LeaveElement(); break;
        case 4: d.ResetPosition(); break;
        case 5: d.AppendElement(name ? name : "n", value); break;
        case 6: d.AppendChildElement(name ? name : "n", value); break;
        case 7: d.SetElementText(value); break;
        case 8: d.SetAttribute("k", value); break;
        case 9: d.RemoveElement(); break;
        case 10: d.Attribute(name ? name : "k"); break;
        case 11: d.ChildAttribute(name ? name : "k"); break;
        case 12: d.ElementText(); break;
        case 13: d.ChildElementText(); break;
        case 14: d.TagName(); break;
        default: d.SetAttribute(name ? name : "n", static_cast<int>(op)); break;
        }
    }
    std::string live = xmlfuzz::Walk(d);
    if (wellFormed) {
        CXmlDocument fresh;
        fresh.SetDocument(d.Document());
        if (xmlfuzz::Walk(fresh) != live)
            std::abort();
    }
    return 0;
}
