// The classic arrangement used as the reference: see rig.h.
#pragma once

extern "C"
{
#include <ntddk.h>
}

#include <vector>

namespace bench {

// The pass-through function driver for the adapter (loaded with HkLoadDriver).
NTSTATUS ChainDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Creates one port device per UART under the chain driver, binds the machine's port function
// driver double on each and starts it: each double connects its callback on `vector` itself.
bool ChainCreatePorts(PDRIVER_OBJECT chainDriver, ULONG ports, ULONG64 uartBase, ULONG vector,
                      ULONG level, KAFFINITY affinity, std::vector<PDEVICE_OBJECT>* pdos);
// Removes the doubles (they disconnect) and deletes the port devices.
void ChainDeletePorts(std::vector<PDEVICE_OBJECT>* pdos);

} // namespace bench
