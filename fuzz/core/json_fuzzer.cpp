// The JSON reader the Cloudflare client reads the API's answers with: any bytes are refused or read
// within its bounds, and every string it reads comes back unchanged through Quote.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/provider/json.h"

namespace {

void Walk(const CJson& value, int depth)
{
    if (depth > 40)
        std::abort();  // deeper than the reader allows
    if (value.type() == CJson::Type::String) {
        CJson back;
        if (!CJson::Parse(CJson::Quote(value.Scalar()), back) || back.Scalar() != value.Scalar())
            std::abort();
    }
    for (const CJson& item : value.Items())
        Walk(item, depth + 1);
    value.Text("id");
    value.Integer("code", 0);
    value.True("success");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CJson value;
    if (CJson::Parse(std::string_view(reinterpret_cast<const char*>(data), size), value))
        Walk(value, 0);
    return 0;
}
