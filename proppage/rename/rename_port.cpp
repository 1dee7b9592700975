// Renaming a port: every record of the old COM name is moved to the new one, in an order that
// keeps the system consistent if the user stops at a question or the DOS name cannot be moved.
#include "rename.h"

#include <setupapi.h>

#include "../advanced/advanced_ids.h"
#include "../provider/provider.h"
#include "../resources/resource.h"
#include "name_records.h"

namespace {

constexpr DWORD DosTargetLength = 80;
constexpr WCHAR SerialDeviceMap[] = L"Hardware\\DeviceMap\\SerialComm";
constexpr DWORD DeviceMapNameLength = 162;
constexpr DWORD DeviceMapDataBytes = 162;

bool AnsweredNo(HWND owner, UINT text, UINT type)
{
    // A box that could not be shown (0) is not a No: the rename goes on.
    return ResourceMessageBox(owner, text, IDS_PORT_PROPERTIES_CAPTION, type) == IDNO;
}

// Any failure to open the port exclusively means another program holds it (or the system
// refuses it for some other reason): either way the user decides.
bool PortHeldElsewhere(const WCHAR* portName)
{
    WCHAR path[4 + kPortNameLength];
    lstrcpyW(path, L"\\\\.\\");
    lstrcatW(path, portName);
    HANDLE port =
        CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return true;
    }
    CloseHandle(port);
    return false;
}

// Points the new DOS name at the old name's target. When the new name cannot be defined the old
// definition is put back, so the port stays reachable under its old name.
bool MoveDosDevice(const WCHAR* oldName, const WCHAR* newName)
{
    WCHAR target[DosTargetLength] = {};
    if (QueryDosDeviceW(oldName, target, DosTargetLength) == 0) {
        return false;
    }
    bool removed = DefineDosDeviceW(DDD_REMOVE_DEFINITION, oldName, nullptr) != FALSE;
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, newName, target)) {
        if (removed) {
            DefineDosDeviceW(DDD_RAW_TARGET_PATH, oldName, target);
        }
        return false;
    }
    return true;
}

// The serial device map names the port's kernel device in the value name and the COM name in
// the data; the first string equal to the old name is the port's entry.
void UpdateSerialDeviceMap(const WCHAR* oldName, const WCHAR* newName)
{
    HKEY map;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialDeviceMap, 0, KEY_ALL_ACCESS, &map) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD oldLength = lstrlenW(oldName);
    for (DWORD index = 0;; ++index) {
        WCHAR name[DeviceMapNameLength];
        DWORD nameLength = ARRAYSIZE(name);
        // One unit more than the data room, so that an unterminated string ends in the buffer.
        WCHAR data[DeviceMapDataBytes / sizeof(WCHAR) + 1] = {};
        DWORD dataSize = DeviceMapDataBytes;
        DWORD type = REG_NONE;
        LONG result = RegEnumValueW(map, index, name, &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &dataSize);
        if (result == ERROR_MORE_DATA) {
            // Too long for a COM name or its device: not the port's entry, but later ones may be.
            continue;
        }
        if (result != ERROR_SUCCESS) {
            break;
        }
        if (type != REG_SZ) {
            continue;
        }
        DWORD units = dataSize / sizeof(WCHAR);
        DWORD length = 0;
        while (length < units && data[length] != L'\0') {
            ++length;
        }
        if (length == oldLength &&
            CompareStringOrdinal(data, static_cast<int>(length), oldName,
                                 static_cast<int>(oldLength), FALSE) == CSTR_EQUAL) {
            RegSetValueExW(map, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(newName),
                           static_cast<DWORD>((lstrlenW(newName) + 1) * sizeof(WCHAR)));
            break;
        }
    }
    RegCloseKey(map);
}

// Tells the class installer that the device's properties changed, so Device Manager refreshes.
void MarkPropertiesChanged(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (SetupDiGetDeviceInstallParamsW(set, device, &params)) {
        params.Flags |= DI_PROPERTIES_CHANGE;
        SetupDiSetDeviceInstallParamsW(set, device, &params);
    }
}

} // namespace

void RenameComPort(HWND dialog, AdvancedBlock* advanced, HKEY deviceKey, DWORD number)
{
    const WCHAR* oldName = advanced->CurrentPortName;
    DWORD oldNumber = PortNumberOfName(oldName);

    if (advanced->ComDb != HCOMDB_INVALID_HANDLE_VALUE) {
        BYTE usage[ComUsageBytes];
        QueryComUsage(advanced->ComDb, usage);
        if (ComNumberInUse(usage, number) &&
            AnsweredNo(dialog, IDS_NAME_IN_USE, MB_YESNO | MB_ICONINFORMATION)) {
            return;
        }
    }

    // Only a name that is a live DOS device has a kernel link and a device map entry to move.
    WCHAR target[DosTargetLength];
    bool liveDosDevice =
        oldName[0] != L'\0' && QueryDosDeviceW(oldName, target, DosTargetLength) != 0;
    if (liveDosDevice && PortHeldElsewhere(oldName) &&
        AnsweredNo(dialog, IDS_PORT_OPEN_ELSEWHERE, MB_YESNO | MB_ICONERROR)) {
        return;
    }

    WCHAR newName[kPortNameLength];
    wsprintfW(newName, L"COM%d", static_cast<int>(number));

    if (liveDosDevice) {
        if (!MoveDosDevice(oldName, newName)) {
            // Nothing else has been touched: the port keeps its old name everywhere.
            ResourceMessageBox(dialog, IDS_RENAME_FAILED, IDS_PORT_PROPERTIES_CAPTION,
                               MB_OK | MB_ICONERROR);
            return;
        }
        UpdateSerialDeviceMap(oldName, newName);
    }

    if (advanced->ComDb != HCOMDB_INVALID_HANDLE_VALUE) {
        ComDBReleasePort(advanced->ComDb, oldNumber);
        // The user has already agreed to share a number that another device holds.
        ComDBClaimPort(advanced->ComDb, number, TRUE, nullptr);
    }

    SetFriendlyName(advanced->DeviceInfoSet, advanced->DeviceInfoData, newName);
    ReplaceInWindowText(GetParent(dialog), oldName, newName);
    MovePortsEntry(oldName, newName);
    RegSetValueExW(deviceKey, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(newName),
                   static_cast<DWORD>((lstrlenW(newName) + 1) * sizeof(WCHAR)));
    MarkPropertiesChanged(advanced->DeviceInfoSet, advanced->DeviceInfoData);

    // Only a completed rename reaches the page: after message 60 the device keeps its old name,
    // and so must the page.
    lstrcpyW(advanced->NewPortName, newName);
}
