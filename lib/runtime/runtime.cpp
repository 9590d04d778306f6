// The runtime support library: skeleton until the full runtime lands.
#include "eklogger/platform/runtime.h"

#include <cstdlib>

extern "C" {

uint64_t NxThreadGetCurrentID(void) { return 0; }
uint64_t NxProcessGetCurrentID(void) { return 0; }
void OruMemoryFree(void* memory) { std::free(memory); }
int NxStringBuffPrintfA(void*, NxStringBuff*, const char*, const nxPrintfArgVal*) { return -1; }
char* NxStringBuffTakeStr(NxStringBuff*) { return nullptr; }

}  // extern "C"
