// The logging toolkit: skeleton until the full toolkit lands.
#include "eklogger/platform/toolkit.h"

extern "C" {

int GwOpenToolkit(const char*) { return 0; }
int GwCloseToolkit(void) { return 0; }
GwHandle GwGetObject(const char*, const char*) { return nullptr; }
int GwReleaseObject(GwHandle) { return 0; }
char* GwGetObjProp(GwHandle, const char*, unsigned char*) { return nullptr; }
int GwSetObjProp(GwHandle, const char*, const char*) { return 0; }
int GwSetObjPropInt(GwHandle, const char*, int) { return 0; }
GwHandle GwHandlerGetFormatter(GwHandle) { return nullptr; }
int GwHandlerSetFormatter(GwHandle, GwHandle) { return 0; }
const char* GwHandlerGetFmtHeader(GwHandle) { return nullptr; }
const char* GwHandlerGetFmtTrailer(GwHandle) { return nullptr; }
int GwGetLevelFromString(const char*) { return 4000; }
int GwIsLoggable(GwHandle, int) { return 0; }
int GwLogText(GwHandle, const char*) { return 0; }
int GwLogError(GwHandle, const char*, int, int, const char*, ...) { return 0; }
int GwLogWarn(GwHandle, const char*, int, int, const char*, ...) { return 0; }
int GwLogInfo(GwHandle, const char*, int, int, const char*, ...) { return 0; }
int GwLogDebugMin(GwHandle, const char*, const char*, int, const char*, ...) { return 0; }
int GwLogDebugMid(GwHandle, const char*, const char*, int, const char*, ...) { return 0; }
int GwLogDebugMax(GwHandle, const char*, const char*, int, const char*, ...) { return 0; }

}  // extern "C"
