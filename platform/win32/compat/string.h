#pragma once
#include_next <string.h>

#include <stddef.h>

#ifdef __cplusplus
// The GNU form the programs use: the message, in `buffer` or a static text.
inline char* strerror_r(int error, char* buffer, size_t size)
{
    if (strerror_s(buffer, size, error) != 0 && size > 0)
        buffer[0] = 0;
    return buffer;
}
#endif
