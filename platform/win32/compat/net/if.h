#pragma once
// Interface names and indexes (if_nametoindex) are IP Helper's on Windows.
#include "../win32.h"

#include <iphlpapi.h>
#include <netioapi.h>
