/* The message-catalog library: message texts by number from catalog files,
 * in the caller's locale and code set.
 *
 * Objects are created by the _new/_open calls and released by the matching
 * _free/_close call.  lcs_catopen never yields null for a non-null path: a
 * catalog that cannot be opened gives a handle with which lcs_catgets returns
 * the default text.  Texts returned by lcs_catgets belong to the library,
 * stay valid for the life of the process and are not to be freed.
 *
 * Every function may be called from any thread. */
#ifndef EKLOGGER_PLATFORM_CATALOG_H_
#define EKLOGGER_PLATFORM_CATALOG_H_

#include "eklogger/platform/platform_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lcs_loc lcs_loc;
typedef struct lcs_cat lcs_cat;
typedef struct lcs_cs lcs_cs;

/* Null for a null, empty or malformed locale name. */
EKLOGGER_PLATFORM_API lcs_loc* lcs_loc_new(const char* locale);
EKLOGGER_PLATFORM_API void lcs_loc_free(lcs_loc* locale);
/* A path holding "/" names the file; a bare name is searched for. */
EKLOGGER_PLATFORM_API lcs_cat* lcs_catopen(const char* path, int flags, lcs_loc* locale);
/* The message in the code set, or default_text itself when there is none. */
EKLOGGER_PLATFORM_API const char* lcs_catgets(lcs_cat* catalog, int set, int number,
                                              const char* default_text, lcs_cs* codeset);
EKLOGGER_PLATFORM_API void lcs_catclose(lcs_cat* catalog);
/* Null for a code set the system cannot convert to. */
EKLOGGER_PLATFORM_API lcs_cs* lcs_cs_new(const char* codeset);
EKLOGGER_PLATFORM_API void lcs_cs_free(lcs_cs* codeset);

#ifdef __cplusplus
}
#endif

#endif /* EKLOGGER_PLATFORM_CATALOG_H_ */
