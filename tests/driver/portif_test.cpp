// The port bus interface as a port function driver meets it: the query rules and the bytes of the
// record, and ConnectIsr, DisconnectIsr and GetResources across start, stop, restart and surprise
// removal. The test plays the port function driver itself (the machine binds none here).
#include "port_rig.h"

#include <atomic>

using namespace portrig;

namespace {

// A port callback that counts its calls and services nothing.
struct CountingCallback {
    std::atomic<int> Calls{0};
    static BOOLEAN Isr(PKINTERRUPT, PVOID context)
    {
        static_cast<CountingCallback*>(context)->Calls++;
        return FALSE;
    }
};

class PortInterface : public PortRigTest {
protected:
    PDEVICE_OBJECT PortDevice(size_t i) { return Ports.at(i)->Self; }

    void Stop()
    {
        ASSERT_EQ(HmSendPnp(Pdo, IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
        ASSERT_EQ(HmSendPnp(Pdo, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
    }
};

constexpr GUID OtherGuid = {
    0x6C1F0A3E, 0x5B27, 0x4D9A, {0x9E, 0x44, 0x2F, 0x8B, 0x7C, 0x3D, 0x1A, 0x06}};

TEST_F(PortInterface, SuccessfulQueryWritesTheRecordBytesAndTakesOneReference)
{
    Plug(HmModel::LX4A);
    UCHAR buffer[64];
    std::memset(buffer, 0xCC, sizeof(buffer));
    LONG before = Adapter->InterfaceRefCount;

    DirectResult r = QueryInterface(PortDevice(1), CORPORT_INTERFACE_GUID, 52, 2, buffer);

    EXPECT_EQ(r.Returned, STATUS_SUCCESS);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u) << "the information field is not the driver's";
    EXPECT_EQ(Adapter->InterfaceRefCount, before + 1);

    USHORT size, version;
    std::memcpy(&size, buffer + 0, 2);
    std::memcpy(&version, buffer + 2, 2);
    EXPECT_EQ(size, 52);
    EXPECT_EQ(version, 2);
    auto pointerAt = [&](size_t offset) {
        void* p;
        std::memcpy(&p, buffer + offset, sizeof(p));
        return p;
    };
    EXPECT_EQ(pointerAt(4), static_cast<void*>(Ports[1]));
    EXPECT_EQ(pointerAt(12), reinterpret_cast<void*>(&PortInterfaceReference));
    EXPECT_EQ(pointerAt(20), reinterpret_cast<void*>(&PortInterfaceDereference));
    EXPECT_EQ(pointerAt(28), reinterpret_cast<void*>(&PortConnectIsr));
    EXPECT_EQ(pointerAt(36), reinterpret_cast<void*>(&PortDisconnectIsr));
    EXPECT_EQ(pointerAt(44), reinterpret_cast<void*>(&PortGetResources));
    for (size_t i = 52; i < sizeof(buffer); i++) {
        EXPECT_EQ(buffer[i], 0xCC) << "byte " << i << " is past the 52-byte record";
    }

    // The caller owes one dereference; the record's own routine pays it.
    auto* record = reinterpret_cast<PCORPORT_BUS_INTERFACE>(buffer);
    record->InterfaceDereference(record->Context);
    EXPECT_EQ(Adapter->InterfaceRefCount, before);
}

TEST_F(PortInterface, MalformedQueriesAreRefusedWithoutWritingOrReferencing)
{
    Plug(HmModel::LX2A);
    struct Case {
        const char* What;
        USHORT Size;
        USHORT Version;
        bool Buffer;
    } cases[] = {
        {"a larger record (56)", 56, 2, true},
        {"a smaller record (48)", 48, 2, true},
        {"version 1", 52, 1, true},
        {"version 3", 52, 3, true},
        {"no buffer", 52, 2, false},
    };
    for (const Case& c : cases) {
        UCHAR buffer[64];
        std::memset(buffer, 0xCC, sizeof(buffer));
        DirectResult r = QueryInterface(PortDevice(0), CORPORT_INTERFACE_GUID, c.Size, c.Version,
                                        c.Buffer ? buffer : nullptr);
        EXPECT_EQ(r.Returned, STATUS_INVALID_PARAMETER) << c.What;
        EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER) << c.What;
        EXPECT_EQ(Adapter->InterfaceRefCount, 0) << c.What;
        for (UCHAR b : buffer) {
            ASSERT_EQ(b, 0xCC) << c.What << ": the buffer was written";
        }
    }
}

TEST_F(PortInterface, QueryForAnotherInterfaceIsAnsweredByTheAdaptersBus)
{
    Plug(HmModel::LX2A);
    size_t busRequests = HmBusRecords(Pdo).size();
    UCHAR buffer[64] = {};

    DirectResult r = QueryInterface(PortDevice(0), OtherGuid, 52, 2, buffer);

    // The PCI bus driver completes what it does not know with the status the request carries.
    EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
    std::vector<HmBusRecord> records = HmBusRecords(Pdo);
    ASSERT_EQ(records.size(), busRequests + 1);
    EXPECT_EQ(records.back().Major, IRP_MJ_PNP);
    EXPECT_EQ(records.back().Minor, IRP_MN_QUERY_INTERFACE);
    EXPECT_EQ(Adapter->InterfaceRefCount, 0);
    for (UCHAR b : buffer) {
        ASSERT_EQ(b, 0);
    }
}

TEST_F(PortInterface, OneReferenceCountServesEveryPortOfTheAdapter)
{
    Plug(HmModel::LX4A);
    CORPORT_BUS_INTERFACE first = TakeInterface(PortDevice(0));
    CORPORT_BUS_INTERFACE second = TakeInterface(PortDevice(3));
    EXPECT_EQ(Adapter->InterfaceRefCount, 2);
    EXPECT_EQ(Field(first.Context), Ports[0]);
    EXPECT_EQ(Field(second.Context), Ports[3]);

    first.InterfaceReference(first.Context);
    EXPECT_EQ(Adapter->InterfaceRefCount, 3);
    first.InterfaceDereference(first.Context);
    first.InterfaceDereference(first.Context);
    second.InterfaceDereference(second.Context);
    EXPECT_EQ(Adapter->InterfaceRefCount, 0);
}

TEST_F(PortInterface, ResourcesAreThePortsRangeAndTheAdaptersInterrupt)
{
    Plug(HmModel::LX4A, false);
    HmAssignment assignment =
        HmMakeAssignment(0xD000, 32, 0xD100, 4, 17, 0x62, 7, 0x5, false, true);
    ASSERT_EQ(HmStartAdapter(Pdo, assignment), STATUS_SUCCESS);
    CORPORT_BUS_INTERFACE itf = TakeInterface(PortDevice(2));

    CORPORT_RESOURCES record;
    std::memset(&record, 0xAB, sizeof(record));
    EXPECT_EQ(itf.GetResources(itf.Context, &record), STATUS_SUCCESS);

    EXPECT_EQ(Field(record.IoBase), 0xD000u + 16);
    EXPECT_EQ(Field(record.IoLength), 8u);
    EXPECT_NE(Field(record.InterruptObject), nullptr);
    EXPECT_EQ(Field(record.InterruptObject), Adapter->InterruptObject);
    EXPECT_EQ(Field(record.InterruptLevel), 7);
    EXPECT_EQ(Field(record.InterruptVector), 0x62u);
    EXPECT_EQ(Field(record.InterruptAffinity), 0x5u);
    EXPECT_EQ(Field(record.InterruptMode), 0u);
    EXPECT_EQ(Field(record.DriverParameter), 2u);
    // The bytes the record leaves to its owner stay as the owner had them.
    for (UCHAR b : record.DriverReserved1) {
        EXPECT_EQ(b, 0xAB);
    }
    for (UCHAR b : record.DriverReserved2) {
        EXPECT_EQ(b, 0xAB);
    }
    std::vector<HkInterruptInfo> connected = HkInterruptsOn(0x62);
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].Object, Field(record.InterruptObject));
    itf.InterfaceDereference(itf.Context);
}

TEST_F(PortInterface, NothingIsHandedOutBeforeStartOrAfterStop)
{
    Plug(HmModel::LX2A, false);
    CORPORT_BUS_INTERFACE itf = TakeInterface(PortDevice(0));
    CountingCallback callback;

    CORPORT_RESOURCES record;
    std::memset(&record, 0x5A, sizeof(record));
    EXPECT_EQ(itf.GetResources(itf.Context, &record), STATUS_DEVICE_CONFIGURATION_ERROR);
    for (size_t i = 0; i < sizeof(record); i++) {
        ASSERT_EQ(reinterpret_cast<UCHAR*>(&record)[i], 0x5A) << "record written before start";
    }
    // No interrupt is connected yet: the refusal is remembered and means unhooked.
    EXPECT_EQ(itf.ConnectIsr(itf.Context, CountingCallback::Isr, &callback), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ports[0]->InterruptSlot, -2);

    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    EXPECT_EQ(itf.ConnectIsr(itf.Context, CountingCallback::Isr, &callback), STATUS_SUCCESS);
    EXPECT_EQ(Ports[0]->InterruptSlot, 0);
    EXPECT_EQ(itf.GetResources(itf.Context, &record), STATUS_SUCCESS);

    // A stop withdraws the range; the port still counts as hooked until it unhooks.
    itf.DisconnectIsr(itf.Context);
    Stop();
    std::memset(&record, 0x5A, sizeof(record));
    EXPECT_EQ(itf.GetResources(itf.Context, &record), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(&record)[0], 0x5A);
    itf.InterfaceDereference(itf.Context);
}

TEST_F(PortInterface, SecondHookIsRefusedAndTheFirstStays)
{
    Plug(HmModel::LX2A);
    CORPORT_BUS_INTERFACE itf = TakeInterface(PortDevice(1));
    CountingCallback first, second;

    EXPECT_EQ(itf.ConnectIsr(itf.Context, CountingCallback::Isr, &first), STATUS_SUCCESS);
    LONG slot = Ports[1]->InterruptSlot;
    ASSERT_GE(slot, 0);
    EXPECT_EQ(itf.ConnectIsr(itf.Context, CountingCallback::Isr, &second), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ports[1]->InterruptSlot, slot);
    EXPECT_EQ(Adapter->InterruptSlots[slot].Context, &first);
    EXPECT_EQ(Adapter->InterruptSlots[slot].Mask, 0x02);

    // A null routine would fault in the dispatcher at device IRQL: refused before anything.
    CORPORT_BUS_INTERFACE other = TakeInterface(PortDevice(0));
    EXPECT_EQ(other.ConnectIsr(other.Context, nullptr, &first), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ports[0]->InterruptSlot, -1);
    EXPECT_EQ(other.GetResources(other.Context, nullptr), STATUS_INVALID_PARAMETER);

    itf.DisconnectIsr(itf.Context);
    EXPECT_EQ(Ports[1]->InterruptSlot, -1);
    EXPECT_EQ(Adapter->InterruptSlots[slot].InUse, 0);
    // Unhooking again does nothing.
    itf.DisconnectIsr(itf.Context);
    EXPECT_EQ(Ports[1]->InterruptSlot, -1);
    itf.InterfaceDereference(itf.Context);
    other.InterfaceDereference(other.Context);
}

TEST_F(PortInterface, HookedCallbackIsCalledForItsOwnStatusBitOnly)
{
    Plug(HmModel::LX4A);
    CORPORT_BUS_INTERFACE quiet = TakeInterface(PortDevice(0));
    CORPORT_BUS_INTERFACE busy = TakeInterface(PortDevice(2));
    CountingCallback quietCalls, busyCalls;
    ASSERT_EQ(quiet.ConnectIsr(quiet.Context, CountingCallback::Isr, &quietCalls), STATUS_SUCCESS);
    ASSERT_EQ(busy.ConnectIsr(busy.Context, CountingCallback::Isr, &busyCalls), STATUS_SUCCESS);
    EXPECT_EQ(Adapter->InterruptSlots[Ports[0]->InterruptSlot].Mask, 0x01);
    EXPECT_EQ(Adapter->InterruptSlots[Ports[2]->InterruptSlot].Mask, 0x04);

    CORPORT_RESOURCES record;
    ASSERT_EQ(busy.GetResources(busy.Context, &record), STATUS_SUCCESS);
    // Enable the transmitter-empty interrupt of the third UART: only its status bit rises.
    auto reg = [&](ULONG offset) { return reinterpret_cast<PUCHAR>(record.IoBase + offset); };
    WRITE_PORT_UCHAR(reg(3), 0x03);
    WRITE_PORT_UCHAR(reg(4), 0x08); // OUT2: the UART's INT reaches the board
    WRITE_PORT_UCHAR(reg(1), 0x02);
    EXPECT_TRUE(HmWaitUntil([&] { return busyCalls.Calls.load() > 0; }))
        << "status register " << int(HmStatusRegister(Pdo));
    EXPECT_EQ(quietCalls.Calls.load(), 0);
    // Nobody services the cause: silence the UART again before unhooking.
    WRITE_PORT_UCHAR(reg(1), 0x00);
    busy.DisconnectIsr(busy.Context);
    quiet.DisconnectIsr(quiet.Context);
    busy.InterfaceDereference(busy.Context);
    quiet.InterfaceDereference(quiet.Context);
}

// After a stop and a new start the table is empty again, but a port that did not unhook still
// records its old slot, and the lowest free slot can meanwhile go to another port. Its late
// unhook must not take the other port's callback away.
TEST_F(PortInterface, LateUnhookAfterRestartLeavesAnotherPortsCallbackInPlace)
{
    Plug(HmModel::LX4A);
    CORPORT_BUS_INTERFACE a = TakeInterface(PortDevice(0));
    CORPORT_BUS_INTERFACE c = TakeInterface(PortDevice(2));
    CountingCallback ca, cc;
    ASSERT_EQ(a.ConnectIsr(a.Context, CountingCallback::Isr, &ca), STATUS_SUCCESS);
    ASSERT_EQ(Ports[0]->InterruptSlot, 0);

    ASSERT_EQ(HmRebalance(Pdo, HmMakeAssignment(0xE000, 32, 0xE100, 4, 18, 0x63, 6)),
              STATUS_SUCCESS);
    EXPECT_EQ(Ports[0]->InterruptSlot, 0) << "the adapter's disconnection leaves the record";
    EXPECT_EQ(Adapter->InterruptSlots[0].InUse, 0);
    // Still hooked as far as the port knows: a new hook needs an unhook first.
    EXPECT_EQ(a.ConnectIsr(a.Context, CountingCallback::Isr, &ca), STATUS_UNSUCCESSFUL);

    ASSERT_EQ(c.ConnectIsr(c.Context, CountingCallback::Isr, &cc), STATUS_SUCCESS);
    ASSERT_EQ(Ports[2]->InterruptSlot, 0);

    a.DisconnectIsr(a.Context);
    EXPECT_EQ(Ports[0]->InterruptSlot, -1);
    EXPECT_EQ(Adapter->InterruptSlots[0].InUse, 1) << "port C's callback was taken away";
    EXPECT_EQ(Adapter->InterruptSlots[0].Context, &cc);
    EXPECT_EQ(Adapter->InterruptSlots[0].Mask, 0x04);

    ASSERT_EQ(a.ConnectIsr(a.Context, CountingCallback::Isr, &ca), STATUS_SUCCESS);
    EXPECT_EQ(Ports[0]->InterruptSlot, 1);
    c.DisconnectIsr(c.Context);
    a.DisconnectIsr(a.Context);
    for (const INTERRUPT_SLOT& slot : Adapter->InterruptSlots) {
        EXPECT_EQ(slot.InUse, 0);
    }
    a.InterfaceDereference(a.Context);
    c.InterfaceDereference(c.Context);
}

TEST_F(PortInterface, SurpriseRemovalKeepsTheRangeButNotTheInterrupt)
{
    Plug(HmModel::LX2A);
    CORPORT_BUS_INTERFACE itf = TakeInterface(PortDevice(1));
    CountingCallback callback;
    ASSERT_EQ(itf.ConnectIsr(itf.Context, CountingCallback::Isr, &callback), STATUS_SUCCESS);
    CORPORT_RESOURCES before;
    ASSERT_EQ(itf.GetResources(itf.Context, &before), STATUS_SUCCESS);

    ASSERT_EQ(HmSendPnp(Pdo, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);

    CORPORT_RESOURCES after;
    std::memset(&after, 0, sizeof(after));
    EXPECT_EQ(itf.GetResources(itf.Context, &after), STATUS_SUCCESS);
    EXPECT_EQ(Field(after.IoBase), Field(before.IoBase));
    EXPECT_EQ(Field(after.IoLength), 8u);
    EXPECT_EQ(Field(after.InterruptObject), nullptr);
    EXPECT_EQ(Field(after.InterruptVector), Field(before.InterruptVector));
    // The port's hook record stays until it unhooks; hooking again finds no interrupt.
    itf.DisconnectIsr(itf.Context);
    EXPECT_EQ(itf.ConnectIsr(itf.Context, CountingCallback::Isr, &callback), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ports[1]->InterruptSlot, -2);
    itf.InterfaceDereference(itf.Context);
}

} // namespace
