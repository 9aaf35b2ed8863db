#pragma once
// iconv over the Windows code pages (MultiByteToWideChar and back), for the encodings the XML files
// and the password digest use: UTF-8, UTF-16LE/BE, UCS-4LE, "CP<n>" and the names iconv.cpp maps to
// a code page. Errors as iconv reports them: EILSEQ, EINVAL for a cut sequence, E2BIG.
#include <stddef.h>

typedef struct MorvaneIconv* iconv_t;

#ifdef __cplusplus
extern "C" {
#endif
iconv_t iconv_open(const char* to, const char* from);
size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft);
int iconv_close(iconv_t cd);
#ifdef __cplusplus
}
#endif
