// The 64-byte PCI configuration header as add-device reads it and as the start reads it again:
// any bytes over a catalogue board's header, the identity kept or not, BARs of any value.
// Add-device creates the catalogue's ports for a catalogue board and refuses anything else with a
// sentence in the event log and nothing left behind; a start, and a restart after the BARs moved,
// either gives every port a block inside the assignment with the interrupt connected, or fails
// cleanly.
#include "driver_rig.h"

namespace {

constexpr ULONG HeaderLength = 64;

// Changes the first 64 bytes of space by the input's bytes (zeros keep the board's header).
void Disturb(FuzzInput& in, UCHAR* space, bool keepIdentity, HmModel model)
{
    std::vector<uint8_t> delta = in.Bytes(HeaderLength);
    for (ULONG i = 0; i < HeaderLength; ++i) {
        space[i] ^= delta[i];
    }
    if (keepIdentity) {
        HmPciConfig board = HmBoardConfig(model);
        for (ULONG offset : {0x00u, 0x01u, 0x02u, 0x03u, 0x2Cu, 0x2Du, 0x2Eu, 0x2Fu}) {
            space[offset] = board.Space[offset];
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    DriverRun run(false);
    HmModel model = ModelOf(in);
    uint8_t flags = in.Byte();

    HmPciConfig config = HmBoardConfig(model);
    const bool catalogued = (flags & 1) != 0;
    Disturb(in, config.Space, catalogued, model);
    PDEVICE_OBJECT pdo = HmPlugAdapter(config);
    if ((flags & 2) != 0) {
        HmBusAnswers answers = HmGetBusAnswers(pdo);
        answers.ProgramBars = false;
        HmSetBusAnswers(pdo, answers);
    }

    NTSTATUS added = HmAddDevice(run.Driver, pdo);
    if (!NT_SUCCESS(added)) {
        DRIVER_CHECK(!catalogued);
        DRIVER_CHECK(added == STATUS_UNSUCCESSFUL);
        DRIVER_CHECK(HkErrorLog().size() == 1);
        DRIVER_CHECK(pdo->AttachedDevice == nullptr && run.Driver->DeviceObject == nullptr);
        return 0;
    }
    std::vector<PDEVICE_OBJECT> ports = PortPdosOf(pdo);
    DRIVER_CHECK(!ports.empty() && ports.size() <= 8);
    if (catalogued) {
        DRIVER_CHECK(ports.size() == HmPortCount(model));
    }

    // The start reads the header again: it may have changed since add-device.
    if ((flags & 4) != 0) {
        UCHAR space[256];
        HmGetConfigSpace(pdo, space);
        Disturb(in, space, (flags & 8) != 0, model);
        HmSetConfigSpace(pdo, space);
    }
    HmAssignment assignment = HmDefaultAssignment(pdo);
    size_t logBefore = HkErrorLog().size();
    NTSTATUS status = HmStartAdapter(pdo, assignment);
    CheckStart(run, pdo, assignment, status, logBefore);

    // Rebalancing moves the BARs; the restart reads them once more.
    if (NT_SUCCESS(status) && (flags & 16) != 0) {
        UCHAR space[256];
        HmGetConfigSpace(pdo, space);
        Disturb(in, space, true, model);
        HmSetConfigSpace(pdo, space);
        assignment = HmDefaultAssignment(pdo);
        logBefore = HkErrorLog().size();
        status = HmRebalance(pdo, assignment);
        CheckStart(run, pdo, assignment, status, logBefore);
    }
    return 0;
}
