// Diagnostic lines on the console.
#pragma once

// "<name>() S": a test starts.
void DebugMsg_FunctionStart(const char* fName_p);
// "[ERROR] <name>() <site>": a transfer of the named accessor failed at that site.
void DebugMsg_FunctionError(const char* fName_p, int lineNum);
