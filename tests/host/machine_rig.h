// Helpers shared by the simulated machine's own suites.
#pragma once

#include "testsupport.h"

#include <vector>

// Starts the bus's function of pdo with no function driver above it: IRP_MN_START_DEVICE with the
// raw and translated lists of the assignment, as the plug-and-play manager hands them down.
inline HmIrpResult StartBareFunction(PDEVICE_OBJECT pdo, const HmAssignment& assignment)
{
    std::vector<UCHAR> raw = HmBuildResourceList(assignment.Raw);
    std::vector<UCHAR> translated = HmBuildResourceList(assignment.Translated);
    return HmSendPnp(pdo, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources =
            reinterpret_cast<PCM_RESOURCE_LIST>(raw.data());
        sp->Parameters.StartDevice.AllocatedResourcesTranslated =
            reinterpret_cast<PCM_RESOURCE_LIST>(translated.data());
    });
}
