// The adapter's mutex, taken for a scope. One mutex per adapter serialises all plug-and-play,
// power and port-interface work of the adapter and its ports; a path that must drop it for a
// while (to wait for a request that comes back through a routine that takes it) says so with
// Release and Acquire, and the destructor releases it only if held.
#pragma once

#include "frame/extension.h"

class AdapterLock {
public:
    explicit AdapterLock(PADAPTER_EXTENSION Adapter) : Mutex(&Adapter->Mutex) { Acquire(); }
    ~AdapterLock()
    {
        if (Held) {
            Release();
        }
    }
    AdapterLock(const AdapterLock&) = delete;
    AdapterLock& operator=(const AdapterLock&) = delete;

    void Acquire()
    {
        KeWaitForSingleObject(Mutex, Executive, KernelMode, FALSE, nullptr);
        Held = true;
    }
    void Release()
    {
        Held = false;
        KeReleaseMutex(Mutex, FALSE);
    }

private:
    PKMUTEX Mutex;
    bool Held = false;
};
