#ifndef MORVANE_LIBNAT_LNAT_H
#define MORVANE_LIBNAT_LNAT_H
/*
 * libnat: opens ports on the local Internet gateway.
 *
 * Discovery looks for a UPnP Internet gateway device (SSDP, about 2 s); when none answers it falls
 * back to NAT-PMP towards the default gateway (about 3 s at most). The controller remembers which
 * one answered, and discovery prints one line on standard error saying so:
 *     "<6>UPnP gateway <control URL>, LAN address <address>.\n"  or
 *     "<6>NAT-PMP gateway <address>.\n"
 * Every line libnat prints starts with a syslog priority in angle brackets, which the journal takes
 * as the line's level. When the SSDP group cannot be reached at all (no network, no route out of the
 * interface asked for), one warning line says so and no search is sent.
 *
 * Every call returns 0 on success, otherwise one of the codes below. Codes 400-899 are the
 * gateway's own UPnP error codes passed through unchanged (for example 714 "no such entry",
 * 718 "conflict in mapping entry"). LNat_Print_Error prints the text for any code on standard
 * error.
 *
 * Environment, read at every discovery:
 *   MORVANE_UPNP_ROOTDESC_URL  skip SSDP and use this root description URL of the gateway
 *   MORVANE_UPNP_IF            interface (name or IPv4 address) SSDP multicasts go out of
 *   MORVANE_NATPMP_GATEWAY     IPv4 address of the NAT-PMP gateway instead of the default route
 *   MORVANE_NAT_METHOD         "upnp" or "natpmp" to use only that one
 *
 * A controller is used by one thread at a time; different controllers are independent.
 */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(MORVANE_LIBNAT_BUILD)
#define LNAT_API __attribute__((visibility("default")))
#else
#define LNAT_API
#endif

typedef struct UpnpController UpnpController;

enum LNatError {
    LNAT_OK = 0,
    /* 400..899: UPnP error code returned by the gateway. */
    LNAT_ERR_INVALID_ARGUMENT = 1001, /* null handle or buffer, bad size */
    LNAT_ERR_NO_GATEWAY = 1002,       /* neither UPnP nor NAT-PMP gateway answered */
    LNAT_ERR_NOT_CONNECTED = 1003,    /* UPnP gateway found but its WAN link is down */
    LNAT_ERR_SOCKET = 1004,           /* local socket could not be opened or used */
    LNAT_ERR_NO_MEMORY = 1005,
    LNAT_ERR_HTTP = 1006,             /* gateway's control URL did not answer properly */
    LNAT_ERR_INVALID_RESPONSE = 1007, /* gateway's answer could not be understood */
    LNAT_ERR_UNKNOWN = 1008,          /* gateway reported failure without a code */
    LNAT_ERR_PROTOCOL = 1009,         /* protocol is not "TCP" or "UDP" */
    LNAT_ERR_PORT = 1010,             /* port outside 1..65535 */
    LNAT_ERR_BUFFER = 1011,           /* result does not fit the caller's buffer */
    LNAT_ERR_NO_ADDRESS = 1012,       /* gateway gave no external address */
    LNAT_ERR_TIMEOUT = 1013,          /* NAT-PMP gateway stopped answering */
    LNAT_ERR_PORT_TAKEN = 1014,       /* gateway would only map a different external port */
    LNAT_ERR_HOST_UNSUPPORTED = 1015, /* NAT-PMP maps only for this machine */
    LNAT_ERR_NATPMP_REFUSED = 1016    /* NAT-PMP gateway refused (unauthorised, no resources...) */
};

/* Finds the gateway. On success *controller holds a new controller; on failure it is null. */
LNAT_API int LNat_Upnp_Discover(UpnpController** controller);

/* The gateway's external IPv4 address as zero-terminated text (at least 16 bytes needed). */
LNAT_API int LNat_Upnp_Get_Public_Ip(UpnpController* controller, char* buf, int size);

/* Maps external `port` to the same port on internal_host (null = this machine, the LAN address
 * the gateway was reached from), permanent lease (NAT-PMP: the longest lease the gateway grants),
 * the given description. protocol is "TCP" or "UDP". */
LNAT_API int LNat_Upnp_Set_Port_Mapping(UpnpController* controller, const char* internal_host, int port,
                                        const char* protocol, const char* description);

/* Removes the mapping of external `port`. UPnP gateways answer 714 for a port they do not hold. */
LNAT_API int LNat_Upnp_Remove_Port_Mapping(UpnpController* controller, int port, const char* protocol);

/* Frees the controller and sets *controller to null; null or *null is accepted. */
LNAT_API int LNat_Upnp_Controller_Free(UpnpController** controller);

/* Prints "<4>libnat error <code>: <text>\n" on standard error; returns 0. */
LNAT_API int LNat_Print_Error(int error);

#ifdef __cplusplus
}
#endif

#endif
