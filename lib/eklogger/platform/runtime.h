/* The runtime support library: process and thread identifiers, the release
 * of texts that the toolkit and the runtime hand out, and a growable string
 * buffer with a printf-style formatter over typed arguments.
 *
 * Every function may be called from any thread; one NxStringBuff is used by
 * one thread at a time. */
#ifndef EKLOGGER_PLATFORM_RUNTIME_H_
#define EKLOGGER_PLATFORM_RUNTIME_H_

#include <stddef.h>
#include <stdint.h>

#include "eklogger/platform/platform_api.h"

#ifdef __cplusplus
extern "C" {
#endif

EKLOGGER_PLATFORM_API uint64_t NxThreadGetCurrentID(void);  /* 0 = no identifier */
EKLOGGER_PLATFORM_API uint64_t NxProcessGetCurrentID(void); /* 0 = no identifier */
/* Frees text handed out by the toolkit or the runtime, or any block from
 * malloc (the toolkit hands out malloc's own); null is a no-op. */
EKLOGGER_PLATFORM_API void OruMemoryFree(void* memory);

typedef struct NxStringBuff {
    char* text;
    size_t length;
    size_t capacity;
} NxStringBuff; /* all zero = empty */

typedef enum nxPrintfArgType {
    NX_ARG_END = 0,
    NX_ARG_INT,
    NX_ARG_UINT,
    NX_ARG_DOUBLE,
    NX_ARG_CHAR,
    NX_ARG_STRING,
    NX_ARG_POINTER
} nxPrintfArgType;

typedef struct nxPrintfArgVal {
    nxPrintfArgType type;
    union {
        long long i;
        unsigned long long u;
        double d;
        int c;
        const char* s;
        const void* p;
    } value;
} nxPrintfArgVal; /* arrays of these end with an element of type NX_ARG_END */

/* Appends the formatted text to the buffer.  Returns the number of bytes
 * appended, or -1 for a null buffer or format (the buffer unchanged). */
EKLOGGER_PLATFORM_API int NxStringBuffPrintfA(void* context, NxStringBuff* buffer,
                                              const char* format, const nxPrintfArgVal* args);
/* Hands over the buffer's text (an empty text, never null, for an empty
 * buffer) and leaves the buffer empty.  Free the text with OruMemoryFree. */
EKLOGGER_PLATFORM_API char* NxStringBuffTakeStr(NxStringBuff* buffer);

#ifdef __cplusplus
}
#endif

#endif /* EKLOGGER_PLATFORM_RUNTIME_H_ */
