// The port's name in the friendly name, in the property sheet's title and in the [Ports]
// profile section.
#include "name_records.h"

#include "rename.h"
#include "../advanced/advanced_ids.h"
#include "../provider/provider.h"
#include "../resources/resource.h"
#include "../settings/settings.h"

namespace {

constexpr DWORD DescriptionLength = 256;

void FormPortsKey(WCHAR* key, const WCHAR* name)
{
    lstrcpynW(key, name, kPortNameLength);
    lstrcatW(key, L":");
}

} // namespace

void SetFriendlyName(HDEVINFO set, PSP_DEVINFO_DATA device, const WCHAR* name)
{
    WCHAR format[256];
    // One unit beyond the 512 bytes asked for, so a description that fills them is terminated.
    WCHAR description[DescriptionLength + 1] = {};
    // wsprintfW writes at most 1024 characters and the terminator.
    WCHAR friendly[1040];
    if (LoadStringW(ModuleInstance, IDS_FRIENDLY_NAME, format, ARRAYSIZE(format)) > 0 &&
        SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_DEVICEDESC, nullptr,
                                          reinterpret_cast<BYTE*>(description),
                                          DescriptionLength * sizeof(WCHAR), nullptr)) {
        wsprintfW(friendly, format, description, name);
    } else {
        lstrcpynW(friendly, name, kPortNameLength);
    }
    SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_FRIENDLYNAME,
                                      reinterpret_cast<const BYTE*>(friendly),
                                      static_cast<DWORD>((lstrlenW(friendly) + 1) * sizeof(WCHAR)));
}

void ReplaceInWindowText(HWND window, const WCHAR* oldText, const WCHAR* newText)
{
    int length = GetWindowTextLengthW(window);
    if (length <= 0) {
        return;
    }
    auto* text = static_cast<WCHAR*>(LocalAlloc(LPTR, (length + 1) * sizeof(WCHAR)));
    if (text == nullptr) {
        return;
    }
    int oldLength = lstrlenW(oldText);
    int newLength = lstrlenW(newText);
    int got = GetWindowTextW(window, text, length + 1);

    // First occurrence, compared exactly.
    int at = -1;
    if (oldLength > 0) {
        for (int i = 0; i + oldLength <= got; ++i) {
            if (CompareStringOrdinal(text + i, oldLength, oldText, oldLength, FALSE) ==
                CSTR_EQUAL) {
                at = i;
                break;
            }
        }
    }
    if (got > 0 && at >= 0) {
        int growth = newLength > oldLength ? newLength - oldLength : 0;
        auto* result = static_cast<WCHAR*>(LocalAlloc(LPTR, (length + 1 + growth) * sizeof(WCHAR)));
        if (result != nullptr) {
            CopyMemory(result, text, at * sizeof(WCHAR));
            CopyMemory(result + at, newText, newLength * sizeof(WCHAR));
            CopyMemory(result + at + newLength, text + at + oldLength,
                       (got - at - oldLength) * sizeof(WCHAR));
            SetWindowTextW(window, result);
            LocalFree(result);
        }
    }
    LocalFree(text);
}

void MovePortsEntry(const WCHAR* oldName, const WCHAR* newName)
{
    WCHAR oldKey[kPortNameLength + 1];
    WCHAR newKey[kPortNameLength + 1];
    FormPortsKey(oldKey, oldName);
    FormPortsKey(newKey, newName);

    WCHAR value[kPortsValueLength] = {};
    GetProfileStringW(kPortsSection, oldKey, L"", value, ARRAYSIZE(value));
    WriteProfileStringW(kPortsSection, newKey, value[0] != L'\0' ? value : kDefaultPortsValue);
    BroadcastProfileChange(kPortsSection);
    WriteProfileStringW(kPortsSection, oldKey, nullptr);
}
