// Windows only: the addon imports Node-API from "node.exe", but Electron and other embedders
// export it from an executable of another name. The imports are delay-loaded, and this hook
// hands the loader the process's own executable in place of node.exe (as node-gyp's builds do).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <delayimp.h>
#include <string.h>

namespace {

FARPROC WINAPI load_host(unsigned event, PDelayLoadInfo info) {
    if (event != dliNotePreLoadLibrary || _stricmp(info->szDll, "node.exe") != 0) return nullptr;
    return reinterpret_cast<FARPROC>(::GetModuleHandleW(nullptr));
}

// Set while the DLL initialises, before node calls napi_register_module_v1, the first use of an
// import. The C runtime defines the hook variable itself.
const struct InstallHook {
    InstallHook() { __pfnDliNotifyHook2 = load_host; }
} install_hook;

}  // namespace
