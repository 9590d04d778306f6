// The message-catalog library: skeleton until the full library lands.
#include "eklogger/platform/catalog.h"

extern "C" {

lcs_loc* lcs_loc_new(const char*) { return nullptr; }
void lcs_loc_free(lcs_loc*) {}
lcs_cat* lcs_catopen(const char*, int, lcs_loc*) { return nullptr; }
const char* lcs_catgets(lcs_cat*, int, int, const char* default_text, lcs_cs*) {
  return default_text;
}
void lcs_catclose(lcs_cat*) {}
lcs_cs* lcs_cs_new(const char*) { return nullptr; }
void lcs_cs_free(lcs_cs*) {}

}  // extern "C"
