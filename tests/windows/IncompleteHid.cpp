// A library with the HID class driver's entry points but one: no
// HidD_SetNumInputBuffers, which the link never calls but binds all the same.
// Nothing here is ever called; only the names are looked up.

#include <windows.h>

extern "C" {
__declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID*) {}
__declspec(dllexport) BOOLEAN WINAPI HidD_GetAttributes(HANDLE, void*) { return FALSE; }
__declspec(dllexport) BOOLEAN WINAPI HidD_GetNumInputBuffers(HANDLE, ULONG*) { return FALSE; }
__declspec(dllexport) LONG WINAPI HidP_GetCaps(void*, void*) { return 0; }
__declspec(dllexport) BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE, void**) { return FALSE; }
__declspec(dllexport) BOOLEAN WINAPI HidD_FreePreparsedData(void*) { return FALSE; }
}
