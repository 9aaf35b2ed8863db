// LoadFile on arbitrary bytes (marks, declared encodings, zero units), a walk, then a save and a
// second load of what was saved.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "fuzz/xml/walk.h"
#include "shared/xml/xml_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/morvane-xmlfuzz-XXXXXX";
        return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
    }();
    static const std::string in = dir + "/in.xml";
    static const std::string out = dir + "/out.xml";
    if (size == 0)
        return 0;
    // The first byte picks the system code page.
    xmltext::SetSystemEncodingForTesting((data[0] & 1) ? "GB2312" : "UTF-8");
    if (FILE* f = std::fopen(in.c_str(), "wb")) {
        std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    }

    CXmlDocument d;
    d.LoadFile(in);
    xmlfuzz::Walk(d);
    if (d.FindElement()) {
        d.AppendChildElement("x", "\xe4\xb8\xad");
        d.SetAttribute("k", "1");
    }
    if (d.SaveFile(out)) {
        CXmlDocument back;
        back.LoadFile(out);
        xmlfuzz::Walk(back);
    }
    return 0;
}
