// A COM server stand-in for the installation tests on Windows: registering it records the path
// it was loaded from under HKEY_CURRENT_USER, unregistering takes that away again, so a test
// can tell which copy was registered and that it was unregistered before it went.
#include <windows.h>

namespace {

constexpr const char *key_path = "Software\\KOVA tests\\COM server";

HMODULE self() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&key_path), &module);
    return module;
}

} // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(self(), path, sizeof path);
    HKEY key = nullptr;
    if (length == 0 || RegCreateKeyExA(HKEY_CURRENT_USER, key_path, 0, nullptr, 0, KEY_SET_VALUE,
                                       nullptr, &key, nullptr) != ERROR_SUCCESS)
        return E_FAIL;
    LSTATUS status = RegSetValueExA(key, "Registered", 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(path), length + 1);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? S_OK : E_FAIL;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllUnregisterServer() {
    if (RegDeleteKeyA(HKEY_CURRENT_USER, key_path) != ERROR_SUCCESS) return E_FAIL;
    // The tests' key goes too once nothing else is kept there.
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\KOVA tests");
    return S_OK;
}
