#include "shared/packet/records.h"
