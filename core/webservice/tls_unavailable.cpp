// The web-service runtime without TLS (the Windows build has no TLS library): an https:// provider
// is refused before anything is sent, with a reason the journal shows.
#include <stdsoap2.h>

void soap_ssl_noinit(void) {}

int soap_ssl_client_context(struct soap* soap, unsigned short, const char*, const char*, const char*, const char*,
                            const char*)
{
    return soap_set_receiver_error(soap, "HTTPS is not available",
                                   "this build of the service speaks plain HTTP only (no TLS library)", SOAP_SSL_ERROR);
}
