#include "shared/base/hostname.h"

namespace hostname {

namespace {

bool IsLetterOrDigit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

bool IsHostName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxLength)
        return false;
    size_t labels = 0;
    size_t start = 0;
    for (;;) {
        size_t dot = name.find('.', start);
        std::string_view label = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (label.empty() || label.size() > kMaxLabel || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!IsLetterOrDigit(c) && c != '-')
                return false;
        ++labels;
        if (dot == std::string_view::npos)
            return labels >= 2;
        start = dot + 1;
    }
}

bool FromText(std::string_view text, std::string& name)
{
    if (!text.empty() && text.back() == '.')
        text.remove_suffix(1);
    if (!IsHostName(text))
        return false;
    name.assign(text);
    return true;
}

}  // namespace hostname
