#include "debug.h"

#include <cstdio>

void DebugMsg_FunctionStart(const char* fName_p) { printf("%s() S\n", fName_p); }

void DebugMsg_FunctionError(const char* fName_p, int lineNum) { printf("[ERROR] %s() %d\n", fName_p, lineNum); }
