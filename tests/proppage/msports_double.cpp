// Test stand-in for the COM name database of msports.dll, which Wine does not implement.
//
// It keeps the database where Windows keeps it, so that tests can preset and inspect it through
// the registry: REG_BINARY "ComDB" under HKLM "SYSTEM\CurrentControlSet\Control\COM Name
// Arbiter", one bit per COM number, COMn at bit (n-1) mod 8 of byte (n-1) / 8. A missing value
// is an empty database of 256 numbers. A named mutex serialises changes between processes.
#include <windows.h>
#include <ddk/msports.h>

namespace {

const WCHAR kArbiterKey[] = L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const WCHAR kDatabaseValue[] = L"ComDB";
constexpr DWORD kMinimumPorts = COMDB_MIN_PORTS_ARBITRATED;
constexpr DWORD kMaximumPorts = COMDB_MAX_PORTS_ARBITRATED;

struct Database {
    HKEY Key;
    HANDLE Mutex;
};

// Reads the bitmap; bytes receives kMaximumPorts / 8 bytes, *size the database size in bytes.
LONG ReadBitmap(Database* database, BYTE* bytes, DWORD* size)
{
    ZeroMemory(bytes, kMaximumPorts / 8);
    DWORD type = 0;
    DWORD length = kMaximumPorts / 8;
    LONG status = RegQueryValueExW(database->Key, kDatabaseValue, nullptr, &type, bytes, &length);
    if (status == ERROR_FILE_NOT_FOUND) {
        *size = kMinimumPorts / 8;
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (type != REG_BINARY) {
        return ERROR_INVALID_DATA;
    }
    *size = length < kMinimumPorts / 8 ? kMinimumPorts / 8 : length;
    return ERROR_SUCCESS;
}

LONG WriteBitmap(Database* database, const BYTE* bytes, DWORD size)
{
    return RegSetValueExW(database->Key, kDatabaseValue, 0, REG_BINARY, bytes, size);
}

Database* DatabaseOf(HCOMDB handle)
{
    if (handle == nullptr || handle == HCOMDB_INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return reinterpret_cast<Database*>(handle);
}

} // namespace

extern "C" LONG WINAPI ComDBOpen(HCOMDB* handle)
{
    *handle = HCOMDB_INVALID_HANDLE_VALUE;
    auto database = static_cast<Database*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Database)));
    if (database == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    LONG status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kArbiterKey, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &database->Key, nullptr);
    if (status != ERROR_SUCCESS) {
        HeapFree(GetProcessHeap(), 0, database);
        return status;
    }
    database->Mutex = CreateMutexW(nullptr, FALSE, L"ComDBMutex");
    if (database->Mutex == nullptr) {
        status = static_cast<LONG>(GetLastError());
        RegCloseKey(database->Key);
        HeapFree(GetProcessHeap(), 0, database);
        return status;
    }
    *handle = reinterpret_cast<HCOMDB>(database);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI ComDBClose(HCOMDB handle)
{
    Database* database = DatabaseOf(handle);
    if (database == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    CloseHandle(database->Mutex);
    RegCloseKey(database->Key);
    HeapFree(GetProcessHeap(), 0, database);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB handle, PBYTE buffer, DWORD bufferSize,
                                                DWORD reportType, LPDWORD maxPortsReported)
{
    Database* database = DatabaseOf(handle);
    if (database == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    BYTE bits[kMaximumPorts / 8];
    DWORD size = 0;
    WaitForSingleObject(database->Mutex, INFINITE);
    LONG status = ReadBitmap(database, bits, &size);
    ReleaseMutex(database->Mutex);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    DWORD ports = size * 8;
    if (buffer == nullptr) {
        // Only the size is asked for.
        if (maxPortsReported == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        *maxPortsReported = ports;
        return ERROR_SUCCESS;
    }
    if (reportType == CDB_REPORT_BITS) {
        DWORD count = bufferSize < size ? bufferSize : size;
        CopyMemory(buffer, bits, count);
        if (maxPortsReported != nullptr) {
            *maxPortsReported = count * 8;
        }
        return ERROR_SUCCESS;
    }
    if (reportType == CDB_REPORT_BYTES) {
        DWORD count = bufferSize < ports ? bufferSize : ports;
        for (DWORD i = 0; i < count; ++i) {
            buffer[i] = (bits[i / 8] >> (i % 8)) & 1;
        }
        if (maxPortsReported != nullptr) {
            *maxPortsReported = count;
        }
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}

// Claim and release: read the bitmap under the database's lock, let change decide what becomes
// of COMn's bit (an error answer leaves the stored bitmap as it was), write it back.
template <typename Change> LONG ChangePortBit(HCOMDB handle, DWORD number, Change change)
{
    Database* database = DatabaseOf(handle);
    if (database == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    BYTE bits[kMaximumPorts / 8];
    DWORD size = 0;
    WaitForSingleObject(database->Mutex, INFINITE);
    LONG status = ReadBitmap(database, bits, &size);
    if (status == ERROR_SUCCESS && (number < 1 || number > size * 8)) {
        status = ERROR_INVALID_PARAMETER;
    }
    if (status == ERROR_SUCCESS) {
        BYTE& byte = bits[(number - 1) / 8];
        status = change(byte, static_cast<BYTE>(1u << ((number - 1) % 8)));
        if (status == ERROR_SUCCESS) {
            status = WriteBitmap(database, bits, size);
        }
    }
    ReleaseMutex(database->Mutex);
    return status;
}

extern "C" LONG WINAPI ComDBClaimPort(HCOMDB handle, DWORD number, BOOL force, PBOOL forced)
{
    return ChangePortBit(handle, number, [&](BYTE& byte, BYTE mask) -> LONG {
        BOOL taken = (byte & mask) != 0;
        if (taken && !force) {
            return ERROR_SHARING_VIOLATION;
        }
        byte |= mask;
        if (forced != nullptr) {
            *forced = taken;
        }
        return ERROR_SUCCESS;
    });
}

extern "C" LONG WINAPI ComDBReleasePort(HCOMDB handle, DWORD number)
{
    return ChangePortBit(handle, number, [](BYTE& byte, BYTE mask) -> LONG {
        byte &= static_cast<BYTE>(~mask);
        return ERROR_SUCCESS;
    });
}
