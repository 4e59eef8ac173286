#include <windows.h>

#include <shellapi.h>

#include "app/Browser.h"
#include "app/DialogServices.h"
#include "resources/StringIds.h"

namespace {

using RegistryBuffer = MMemoryPH<wchar_t, 0>;

// Opens (creating when missing) a key for reading its values; null on failure.
HKEY OpenQueryKey(HKEY root, const wchar_t* path)
{
    HKEY key = nullptr;
    wchar_t noClass[] = L"";
    if (RegCreateKeyExW(root, path, 0, noClass, 0, KEY_QUERY_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool QueryDefaultValueSize(HKEY key, DWORD& bytes)
{
    bytes = 0;
    return RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &bytes) == ERROR_SUCCESS;
}

// Reads the key's default value into buffer, whatever its registry type, as wide text.
bool ReadDefaultValue(HKEY key, RegistryBuffer& buffer)
{
    DWORD bytes = buffer.Size();
    return RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.Data()),
                            &bytes) == ERROR_SUCCESS;
}

// The command that starts the user's Start-menu browser, or the empty text.
MStringEx<wchar_t> StartMenuBrowserCommand()
{
    RegistryKeyGuard userKey(
        OpenQueryKey(HKEY_CURRENT_USER, L"Software\\Clients\\StartMenuInternet"));
    if (userKey.IsEmpty())
        return MStringEx<wchar_t>();
    DWORD bytes = 0;
    if (!QueryDefaultValueSize(userKey.Get(), bytes))
        return MStringEx<wchar_t>();
    // A wide-text buffer holds an even number of bytes.
    RegistryBuffer buffer(bytes & ~static_cast<DWORD>(1));
    if (!ReadDefaultValue(userKey.Get(), buffer))
        return MStringEx<wchar_t>();
    const MStringEx<wchar_t> browserName(buffer);

    const MStringEx<wchar_t> commandPath = MStringEx<wchar_t>::Format(
        L"Software\\Clients\\StartMenuInternet\\%s\\shell\\open\\command", browserName);
    RegistryKeyGuard commandKey(OpenQueryKey(HKEY_LOCAL_MACHINE, commandPath.Data()));
    if (commandKey.IsEmpty() || !QueryDefaultValueSize(commandKey.Get(), bytes))
        return MStringEx<wchar_t>();
    buffer.Reallocate(RegistryBuffer::MemUnits(bytes / sizeof(wchar_t)));
    if (!ReadDefaultValue(commandKey.Get(), buffer))
        return MStringEx<wchar_t>();
    return BrowserCommandPath(MStringEx<wchar_t>(buffer));
}

} // namespace

MStringEx<wchar_t> BrowserCommandPath(const MStringEx<wchar_t>& command)
{
    MStringEx<wchar_t> path(command);
    path.Trim(L'"');
    return path;
}

HINSTANCE OpenInBrowser(HWND owner, const MStringEx<wchar_t>& verb,
                        const MStringEx<wchar_t>& address, int showCommand)
{
    const MStringEx<wchar_t> browser = StartMenuBrowserCommand();
    if (!browser.IsEmpty()) {
        const HINSTANCE result =
            ShellExecuteW(owner, verb.Data(), browser.Data(), address.Data(), nullptr, showCommand);
        if (reinterpret_cast<INT_PTR>(result) > 32)
            return result;
    }
    return ShellExecuteW(owner, verb.Data(), address.Data(), nullptr, nullptr, showCommand);
}

void OpenProductWebsite(HWND owner)
{
    OpenInBrowser(owner, MStringEx<wchar_t>(L"open"), ResourceString(IDS_WEBSITE_ADDRESS),
                  SW_SHOWNORMAL);
}
