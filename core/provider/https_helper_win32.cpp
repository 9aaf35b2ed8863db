// On Windows the HTTPS requests run in the service itself. libcurl is not part of the Windows build
// (platform::kCurlLibrary, beside MorvaneCore.exe, where someone put one there); once loaded it stays,
// as it would on Linux without the helper.
#include "core/provider/https.h"

void UseHttpsHelper(const std::string&) {}

bool HttpsGet(const HttpsRequest& request, HttpsAnswer& answer)
{
    return HttpsGetHere(request, answer);
}

int HttpsHelperMain()
{
    return 2;  // never started as a helper here
}
