#pragma once
#include "../net.h"
