#pragma once
// Binding the loopback UDP sockets of the control channel.

#include <cstdint>

// Binds a UDP socket to 127.0.0.1 on the first free port of `tries` ports from `firstPort`.
// Returns the socket (close-on-exec) and sets `port`, or -1 when every port was taken.
int BindLoopbackUdp(uint16_t firstPort, int tries, uint16_t& port);
