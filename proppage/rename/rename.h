// Renaming a port's COM name and the "COM Port Number" list of the Advanced dialog.
#pragma once

#include <windows.h>
#include <ddk/msports.h>

struct AdvancedBlock;

constexpr DWORD HighestComNumber = 256;
constexpr DWORD ComUsageBytes = HighestComNumber / 8; // one bit per COM number

// The number in a COM name: the decimal digits after its first three characters ("COM3" is 3,
// "COMX" is 0). A name too short to hold a digit after "COM" is 0, and so is one whose digits
// do not fit in 32 bits.
DWORD PortNumberOfName(const WCHAR* name);

// The COM name database reports numbers as a bitmap: COMn is bit (n-1) mod 8 of byte (n-1)/8.
bool ComNumberInUse(const BYTE* usage, DWORD number);
void ClearComNumber(BYTE* usage, DWORD number);

// Fills the usage bitmap from the database; a database that is not open, or a failed query,
// reports every number free.
void QueryComUsage(HCOMDB database, BYTE* usage);

// Fills list 846 with COM1 to COM256, marking the numbers the database holds for other ports,
// and selects the port's own number. An empty port name disables the list.
void FillPortNumberList(HWND dialog, AdvancedBlock* advanced);

// Gives the port the name "COM<number>" in every record that holds its name. The key is the
// port's device key, open with full access; the caller closes it. Any question the user answers
// with No leaves everything as it was.
void RenameComPort(HWND dialog, AdvancedBlock* advanced, HKEY deviceKey, DWORD number);

// Replaces the first occurrence of oldText in the window's text by newText.
void ReplaceInWindowText(HWND window, const WCHAR* oldText, const WCHAR* newText);

// Moves the port's [Ports] profile entry from "old:" to "new:".
void MovePortsEntry(const WCHAR* oldName, const WCHAR* newName);
