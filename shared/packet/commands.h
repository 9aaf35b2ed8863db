#pragma once
// Command codes of the loopback control channel (header field `command`).

#include <cstdint>

// Requests from the GUI; the replies carry the request's code.
constexpr uint16_t CMD_LOGIN = 0;
constexpr uint16_t CMD_SET_DOMAIN_STATE = 1;
constexpr uint16_t CMD_REFRESH_DOMAINS = 2;
constexpr uint16_t CMD_MAP_PORTS = 4;
constexpr uint16_t CMD_STORE_PORTS_BASIC = 6;
constexpr uint16_t CMD_REMOVE_PORTS = 7;
constexpr uint16_t CMD_STORE_PORTS = 8;
constexpr uint16_t CMD_STORE_PORTS_ALT = 9;

// Notifications from the service.
constexpr uint16_t CMD_IP_CHANGED = 3;
constexpr uint16_t CMD_PORT_LIST = 5;
constexpr uint16_t CMD_NET_INFO = 4096;

// Requests added later; older services ignore them, so a client that gets no answer says so.
constexpr uint16_t CMD_DOMAIN_STATUS = 10;  // each domain's address, last update and state
constexpr uint16_t CMD_ACCOUNT = 11;        // the account logged in and the provider settings
constexpr uint16_t CMD_LOG_OUT = 12;        // forget the account: nothing is updated any more
constexpr uint16_t CMD_SET_PROVIDER = 13;   // new provider settings (local socket only)
constexpr uint16_t CMD_TEST_PROVIDER = 14;  // ask the provider for the address and the account
