/* The logging toolkit's function interface.
 *
 * The toolkit owns the run-time loggers, file handlers and formatters, reads
 * their configuration from a properties file and writes the log files.  An
 * object is named by a dotted name and reached through an opaque handle.
 *
 * Handles: null means "no object".  Every operation accepts a null handle and
 * then changes nothing, leaves a found flag clear and yields null results.
 * A handle obtained from GwGetObject or GwHandlerGetFormatter is released
 * once with GwReleaseObject; releasing is accepted after GwCloseToolkit.
 *
 * Texts: GwGetObjProp hands out a copy that the caller frees with
 * OruMemoryFree (runtime.h).  Header and trailer texts stay the toolkit's.
 *
 * Every function may be called from any thread. */
#ifndef EKLOGGER_PLATFORM_TOOLKIT_H_
#define EKLOGGER_PLATFORM_TOOLKIT_H_

#include "eklogger/platform/platform_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* GwHandle; /* opaque, pointer-sized; null = no object */

/* Reads the properties file and opens the toolkit; exactly 1 means open.
 * Called again while open, it re-reads the file and applies it. */
EKLOGGER_PLATFORM_API int GwOpenToolkit(const char* properties_path);
/* Closes every file; later record calls write nothing. */
EKLOGGER_PLATFORM_API int GwCloseToolkit(void);

/* Finds or creates the named object.  class_name is null for "not given".
 * The same name always reaches the same object. */
EKLOGGER_PLATFORM_API GwHandle GwGetObject(const char* name, const char* class_name);
EKLOGGER_PLATFORM_API int GwReleaseObject(GwHandle object);

/* Returns the property's text and sets *found to non-zero, or leaves *found
 * as the caller cleared it.  The text is freed with OruMemoryFree. */
EKLOGGER_PLATFORM_API char* GwGetObjProp(GwHandle object, const char* property,
                                         unsigned char* found);
EKLOGGER_PLATFORM_API int GwSetObjProp(GwHandle object, const char* property,
                                       const char* value);
EKLOGGER_PLATFORM_API int GwSetObjPropInt(GwHandle object, const char* property, int value);

/* The handler's formatter, null when it has none; the caller releases it. */
EKLOGGER_PLATFORM_API GwHandle GwHandlerGetFormatter(GwHandle handler);
EKLOGGER_PLATFORM_API int GwHandlerSetFormatter(GwHandle handler, GwHandle formatter);
/* The handler's formatter's header and trailer, null where there is none;
 * valid while that formatter lives.  Not to be freed. */
EKLOGGER_PLATFORM_API const char* GwHandlerGetFmtHeader(GwHandle handler);
EKLOGGER_PLATFORM_API const char* GwHandlerGetFmtTrailer(GwHandle handler);

EKLOGGER_PLATFORM_API int GwGetLevelFromString(const char* text);
/* Greater than zero when a record of this level would be written. */
EKLOGGER_PLATFORM_API int GwIsLoggable(GwHandle logger, int level);

/* Record calls.  Texts are written as they stand, never used as formats;
 * the variable arguments are not read. */
EKLOGGER_PLATFORM_API int GwLogText(GwHandle logger, const char* text);
EKLOGGER_PLATFORM_API int GwLogError(GwHandle logger, const char* catalog, int set, int number,
                                     const char* text, ...);
EKLOGGER_PLATFORM_API int GwLogWarn(GwHandle logger, const char* catalog, int set, int number,
                                    const char* text, ...);
EKLOGGER_PLATFORM_API int GwLogInfo(GwHandle logger, const char* catalog, int set, int number,
                                    const char* text, ...);
EKLOGGER_PLATFORM_API int GwLogDebugMin(GwHandle logger, const char* file, const char* function,
                                        int line, const char* text, ...);
EKLOGGER_PLATFORM_API int GwLogDebugMid(GwHandle logger, const char* file, const char* function,
                                        int line, const char* text, ...);
EKLOGGER_PLATFORM_API int GwLogDebugMax(GwHandle logger, const char* file, const char* function,
                                        int line, const char* text, ...);

#ifdef __cplusplus
}
#endif

#endif /* EKLOGGER_PLATFORM_TOOLKIT_H_ */
