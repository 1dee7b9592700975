// Several threads on one handle at once, as a multi-threaded program uses a COM port: readers,
// writers, a WaitCommEvent loop and a thread of control requests, with the far end sending and
// receiving and the interrupt firing, while the port is disrupted: requests cancelled, queues
// purged, the handle closed, the port stopped and restarted, the board pulled, the system put to
// sleep. Afterwards every request has completed, with a status its kind and the disruption allow,
// and the bytes tell whether any was delivered twice, out of order or (where nothing may be lost)
// not at all: each thread's requests reached the port in the order the thread issued them, so the
// data of each thread's reads, in that order, and those of the other threads must interleave to
// give exactly what the far end sent; likewise the far end's bytes from the writes.
#include "serial_rig.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace {

enum class Disruption {
    Cancel,
    Purge,
    Close,
    Restart,
    SurpriseRemoval,
    Sleep
};

const char* DisruptionName(Disruption d)
{
    static const char* const Names[] = {"Cancel",  "Purge",           "Close",
                                        "Restart", "SurpriseRemoval", "Sleep"};
    return Names[static_cast<int>(d)];
}

// The character TransmitCommChar sends; written data never holds it, so the far end can tell it.
constexpr UCHAR ImmediateMark = 0xFF;

// Requests of one thread, in the order it issued them.
struct Lane {
    std::vector<HkRequestPtr> Requests;
    std::vector<std::vector<UCHAR>> Written; // a write's data (empty for other requests)
};

// Whether the pieces of the lanes, each lane's in its order, interleave to give exactly `stream`
// (or, with prefix, its beginning). A depth-first search over the lanes' positions; positions
// that led nowhere are remembered, which keeps it quick for thousands of pieces.
class Interleaving {
public:
    Interleaving(const std::vector<UCHAR>& stream,
                 std::vector<std::vector<std::vector<UCHAR>>> lanes, bool prefix)
        : Stream(stream), Lanes(std::move(lanes)), Prefix(prefix)
    {
        for (auto& lane : Lanes) {
            lane.erase(
                std::remove_if(lane.begin(), lane.end(),
                               [](const std::vector<UCHAR>& piece) { return piece.empty(); }),
                lane.end());
        }
    }

    bool Holds()
    {
        std::vector<size_t> at(Lanes.size(), 0);
        return From(at, 0);
    }

private:
    bool Fits(const std::vector<UCHAR>& piece, size_t position) const
    {
        return piece.size() <= Stream.size() - position &&
               std::equal(piece.begin(), piece.end(), Stream.begin() + position);
    }

    bool From(std::vector<size_t>& at, size_t position)
    {
        bool finished = true;
        for (size_t lane = 0; lane < Lanes.size(); ++lane) {
            finished = finished && at[lane] == Lanes[lane].size();
        }
        if (finished) {
            return Prefix ? position <= Stream.size() : position == Stream.size();
        }
        if (Dead.count(at) != 0) {
            return false;
        }
        for (size_t lane = 0; lane < Lanes.size(); ++lane) {
            if (at[lane] == Lanes[lane].size() || !Fits(Lanes[lane][at[lane]], position)) {
                continue;
            }
            ++at[lane];
            if (From(at, position + Lanes[lane][at[lane] - 1].size())) {
                return true;
            }
            --at[lane];
        }
        Dead.insert(at);
        return false;
    }

    const std::vector<UCHAR>& Stream;
    std::vector<std::vector<std::vector<UCHAR>>> Lanes;
    bool Prefix;
    std::set<std::vector<size_t>> Dead;
};

// Whether `part` is `whole` with bytes left out (in order, none added).
bool Subsequence(const std::vector<UCHAR>& part, const std::vector<UCHAR>& whole)
{
    size_t at = 0;
    for (UCHAR byte : part) {
        while (at < whole.size() && whole[at] != byte) {
            ++at;
        }
        if (at == whole.size()) {
            return false;
        }
        ++at;
    }
    return true;
}

std::vector<UCHAR> RandomBytes(std::mt19937& random, size_t length, UCHAR below = 0)
{
    std::vector<UCHAR> bytes(length);
    for (UCHAR& byte : bytes) {
        byte = static_cast<UCHAR>(below == 0 ? random() : random() % below);
    }
    return bytes;
}

// Read time-outs a program may switch between; each ends a read that gets no byte at all.
const SERIAL_TIMEOUTS ReadTimeouts[] = {
    {MAXULONG, MAXULONG, 20, 0, 0}, // the first byte, or 20 ms
    {5, 0, 50, 0, 0},               // 5 ms quiet after a byte, at most 50 ms
    {MAXULONG, 0, 0, 0, 0},         // at once with what is there
    {0, 1, 30, 0, 0},               // a millisecond a byte and 30 more
};

} // namespace

class SerialConcurrency : public SerialTest, public ::testing::WithParamInterface<Disruption> {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        Board = Plug(HmModel::LX2A);
        HmPeerFlowControl(Board, 0, true, false);
        OpenAt(Port, NameOf(Board, 0), 115200);
        ComDcb dcb;
        ASSERT_TRUE(Port.GetCommState(&dcb));
        dcb.RtsControl = ComDcb::RtsHandshake; // the far end waits while the queue is full
        ASSERT_TRUE(Port.SetCommState(dcb));
        ASSERT_TRUE(Port.SetCommTimeouts(ReadTimeouts[0]));
        ASSERT_TRUE(Port.SetCommMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY));
    }

    void TearDown() override
    {
        Port.Close();
        SerialTest::TearDown();
    }

    // A request other threads may cancel.
    void Share(const HkRequestPtr& request)
    {
        std::lock_guard<std::mutex> guard(LiveLock);
        Live.push_back(request);
        if (Live.size() > 64) {
            Live.pop_front();
        }
    }

    // Waits for a request to end, or for the end of the run: a wait without an event or a write
    // under XOFF may stay pending, and is left behind then.
    bool WaitedFor(const HkRequestPtr& request)
    {
        while (!request->Done()) {
            if (Stop) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return true;
    }

    void Reader(Lane* lane, unsigned seed)
    {
        std::mt19937 random(seed);
        std::deque<HkRequestPtr> window;
        while (!Stop) {
            if (window.size() < 3) {
                HkRequestPtr read = Port.ReadOverlapped(1 + random() % 256);
                lane->Requests.push_back(read);
                lane->Written.emplace_back();
                Share(read);
                window.push_back(read);
            } else if (WaitedFor(window.front())) {
                window.pop_front();
            }
        }
    }

    void Writer(Lane* lane, unsigned seed)
    {
        std::mt19937 random(seed);
        std::deque<HkRequestPtr> window;
        size_t issued = 0;
        while (!Stop) {
            if (issued >= WriteBudget) {
                std::this_thread::yield();
            } else if (window.size() < 2) {
                std::vector<UCHAR> data;
                HkRequestPtr write;
                if (random() % 8 == 0) {
                    write = HkFlush(Port.Handle());
                } else {
                    data = RandomBytes(random, 1 + random() % 128, ImmediateMark);
                    write = Port.WriteOverlapped(data);
                }
                lane->Requests.push_back(write);
                lane->Written.push_back(data);
                issued += data.size();
                Share(write);
                window.push_back(write);
            } else if (WaitedFor(window.front())) {
                window.pop_front();
            }
        }
    }

    void Waiter(Lane* lane)
    {
        while (!Stop) {
            HkRequestPtr wait = Port.WaitCommEventOverlapped();
            lane->Requests.push_back(wait);
            Share(wait);
            WaitedFor(wait);
        }
    }

    HkRequestPtr Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength)
    {
        std::vector<UCHAR> in(static_cast<const UCHAR*>(input),
                              static_cast<const UCHAR*>(input) + inputLength);
        return Port.DeviceIoControl(code, in, outputLength);
    }

    // Control requests of every kind a program mixes with its transfers; none of them changes
    // the line format, so the far end keeps understanding the port.
    void Controller(Lane* lane, Lane* immediates, Lane* masks, unsigned seed)
    {
        std::mt19937 random(seed);
        ULONG queue = 4096;
        while (!Stop) {
            const ULONG none = 0;
            HkRequestPtr request;
            switch (random() % 12) {
            case 0:
                request = Control(IOCTL_SERIAL_GET_COMMSTATUS, &none, 0, sizeof(SERIAL_STATUS));
                break;
            case 1:
                request = Control(IOCTL_SERIAL_GET_MODEMSTATUS, &none, 0, sizeof(ULONG));
                break;
            case 2:
                request = Control(IOCTL_SERIAL_GET_PROPERTIES, &none, 0, sizeof(SERIAL_COMMPROP));
                break;
            case 3:
                request = Control(IOCTL_SERIAL_GET_STATS, &none, 0, sizeof(SERIALPERF_STATS));
                break;
            case 4: {
                const SERIAL_TIMEOUTS& timeouts = ReadTimeouts[random() % 4];
                request = Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0);
                break;
            }
            case 5: {
                static const ULONG Masks[] = {0, SERIAL_EV_RXCHAR, SERIAL_EV_TXEMPTY,
                                              SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL,
                                              SERIAL_EV_RXFLAG | SERIAL_EV_CTS | SERIAL_EV_ERR};
                const ULONG mask = Masks[random() % 5];
                request = Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0);
                masks->Requests.push_back(request);
                break;
            }
            case 6: {
                queue += random() % 2048;
                const SERIAL_QUEUE_SIZE size = {queue, 0};
                request = Control(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size), 0);
                break;
            }
            case 7: {
                static const ULONG Codes[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR,
                                              IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_GET_DTRRTS};
                const ULONG code = Codes[random() % 4];
                request = Control(code, &none, 0, code == IOCTL_SERIAL_GET_DTRRTS ? 4 : 0);
                break;
            }
            case 8:
                // Holds the transmitter for a while: the writes wait, the reads go on.
                request = Control(Held ? IOCTL_SERIAL_SET_XON : IOCTL_SERIAL_SET_XOFF, &none, 0, 0);
                Held = !Held;
                break;
            case 9: {
                // The settings as they are, handed back: the handshake state starts over.
                HkRequestPtr get = Control(IOCTL_SERIAL_GET_HANDFLOW, &none, 0, 16);
                get->Wait();
                lane->Requests.push_back(get);
                std::vector<UCHAR> flow = get->Output();
                if (flow.size() == sizeof(SERIAL_HANDFLOW)) {
                    request = Control(IOCTL_SERIAL_SET_HANDFLOW, flow.data(), 16, 0);
                }
                break;
            }
            case 10: {
                HkRequestPtr immediate = Control(IOCTL_SERIAL_IMMEDIATE_CHAR, &ImmediateMark, 1, 0);
                immediates->Requests.push_back(immediate);
                Share(immediate);
                continue;
            }
            default:
                request = Control(IOCTL_SERIAL_GET_WAIT_MASK, &none, 0, 4);
                break;
            }
            if (request) {
                lane->Requests.push_back(request);
            }
        }
    }

    // One of the disruptions, while the threads run. While the handle is being closed only
    // single requests are cancelled: CancelIo on a handle another thread closes is the
    // program's own race.
    void Disrupt(Disruption d, std::mt19937& random, bool wholeHandle = true)
    {
        switch (d) {
        case Disruption::Cancel: {
            if (wholeHandle && random() % 16 == 0) {
                Port.CancelIo();
                break;
            }
            HkRequestPtr victim;
            {
                std::lock_guard<std::mutex> guard(LiveLock);
                if (!Live.empty()) {
                    victim = Live[random() % Live.size()];
                }
            }
            if (victim) {
                victim->Cancel();
            }
            break;
        }
        case Disruption::Purge: {
            static const ULONG Flags[] = {SERIAL_PURGE_RXABORT,
                                          SERIAL_PURGE_TXABORT,
                                          SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT,
                                          SERIAL_PURGE_RXCLEAR,
                                          SERIAL_PURGE_TXCLEAR,
                                          SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR};
            EXPECT_TRUE(Port.PurgeComm(Flags[random() % 6])) << std::hex << Port.LastStatus();
            break;
        }
        case Disruption::Restart:
            EXPECT_EQ(HmRebalance(Board, HmDefaultAssignment(Board)), STATUS_SUCCESS);
            break;
        case Disruption::Sleep:
            EXPECT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
            EXPECT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
            break;
        case Disruption::Close:
        case Disruption::SurpriseRemoval:
            break;
        }
    }

    PDEVICE_OBJECT Board = nullptr;
    ComPort Port;
    std::atomic<bool> Stop{false};
    bool Held = false; // the controller's XOFF
    size_t WriteBudget = 3000;
    std::mutex LiveLock;
    std::deque<HkRequestPtr> Live;
};

TEST_P(SerialConcurrency, EveryRequestEndsOnceAndEveryByteArrivesOnceInOrder)
{
    const Disruption d = GetParam();
    // Clearing purges lose bytes by design: one reader and one writer, whose data is then only
    // checked to be in order.
    const bool clearing = d == Disruption::Purge;
    const unsigned readers = clearing ? 1 : 2;
    const unsigned writers = clearing ? 1 : 2;
    std::mt19937 random(static_cast<unsigned>(d) + 11);
    const std::vector<UCHAR> inbound = RandomBytes(random, 8 * 1024);
    HmRemoteSend(Board, 0, inbound);

    std::vector<Lane> readLanes(readers), writeLanes(writers);
    Lane waits, controls, immediates, masks;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < readers; ++i) {
        threads.emplace_back([this, &readLanes, i] { Reader(&readLanes[i], 100 + i); });
    }
    for (unsigned i = 0; i < writers; ++i) {
        threads.emplace_back([this, &writeLanes, i] { Writer(&writeLanes[i], 200 + i); });
    }
    threads.emplace_back([this, &waits] { Waiter(&waits); });
    threads.emplace_back([this, &controls, &immediates, &masks] {
        Controller(&controls, &immediates, &masks, 300);
    });

    // The disruptions come while the far end is still sending: a single one (close, removal)
    // half-way through, the others over and over until everything has been sent.
    const bool once = d == Disruption::Close || d == Disruption::SurpriseRemoval;
    unsigned rounds = 0;
    for (;;) {
        const size_t pending = HmRemotePending(Board, 0);
        if (once && pending <= inbound.size() / 2) {
            break;
        }
        if (!once && pending == 0 && rounds >= 3) {
            break;
        }
        if (!once) {
            Disrupt(d, random);
            ++rounds;
        }
        HkWaitClock(HkNow() + (random() % 4) * Ms);
    }
    const ULONG overrunsBefore = HmUart(Board, 0).Overruns; // the board may be pulled out next
    std::thread canceller;
    if (d == Disruption::SurpriseRemoval) {
        HmSurpriseRemoveAdapter(Board);
    }
    Stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (d == Disruption::Close) {
        // Requests are still pending and a thread keeps cancelling them while the handle closes.
        std::atomic<bool> closed{false};
        canceller = std::thread([&] {
            std::mt19937 mine(5);
            while (!closed) {
                Disrupt(Disruption::Cancel, mine, false);
                std::this_thread::yield();
            }
        });
        Port.Close();
        closed = true;
        canceller.join();
    } else if (d != Disruption::SurpriseRemoval) {
        // Everything still pending ends by itself once the transmitter is let go and the wait
        // mask is cleared (a mask change, which ends a pending wait empty).
        ASSERT_TRUE(Port.EscapeCommFunction(SetXon));
        const ULONG none = 0;
        HkRequestPtr clear = Control(IOCTL_SERIAL_SET_WAIT_MASK, &none, sizeof none, 0);
        ASSERT_TRUE(clear->Wait());
        masks.Requests.push_back(clear);
    }

    auto allDone = [](const Lane& lane) {
        for (const HkRequestPtr& request : lane.Requests) {
            if (!request->Wait()) {
                return false;
            }
        }
        return true;
    };
    for (const Lane* lane : {&waits, &controls, &immediates}) {
        ASSERT_TRUE(allDone(*lane));
    }
    for (const Lane& lane : readLanes) {
        ASSERT_TRUE(allDone(lane));
    }
    for (const Lane& lane : writeLanes) {
        ASSERT_TRUE(allDone(lane));
    }

    // Statuses that fit: each kind's own, a cancel's, a removal's.
    const bool removed = d == Disruption::SurpriseRemoval;
    auto fits = [&](const HkRequestPtr& request, std::initializer_list<NTSTATUS> own) {
        const NTSTATUS status = request->Status();
        const bool allowed = std::find(own.begin(), own.end(), status) != own.end() ||
                             status == STATUS_CANCELLED ||
                             (removed && status == STATUS_DELETE_PENDING);
        EXPECT_TRUE(allowed) << "status 0x" << std::hex << status;
        // A request completed in its dispatch routine says so with the same status.
        const NTSTATUS dispatched = request->DispatchStatus();
        EXPECT_TRUE(dispatched == STATUS_PENDING || dispatched == status)
            << "dispatch 0x" << std::hex << dispatched << ", completion 0x" << status;
    };
    using Pieces = std::vector<std::vector<UCHAR>>;
    std::vector<Pieces> reads;
    size_t delivered = 0;
    for (const Lane& lane : readLanes) {
        reads.emplace_back();
        for (const HkRequestPtr& read : lane.Requests) {
            fits(read, {STATUS_SUCCESS, STATUS_TIMEOUT});
            // A read that ends with an error hands its bytes back to the queue for the next.
            const size_t moved = read->Information();
            EXPECT_TRUE(!NT_ERROR(read->Status()) || moved == 0) << moved << " bytes lost";
            reads.back().push_back(read->Output());
            EXPECT_EQ(reads.back().back().size(), moved);
            delivered += moved;
        }
    }
    std::vector<Pieces> writes;
    for (const Lane& lane : writeLanes) {
        writes.emplace_back();
        for (size_t k = 0; k < lane.Requests.size(); ++k) {
            fits(lane.Requests[k], {STATUS_SUCCESS});
            const std::vector<UCHAR>& data = lane.Written[k];
            const size_t sent = lane.Requests[k]->Information();
            EXPECT_LE(sent, data.size());
            writes.back().emplace_back(data.begin(), data.begin() + std::min(sent, data.size()));
        }
    }
    size_t immediateSent = 0;
    for (const HkRequestPtr& immediate : immediates.Requests) {
        // One at a time: a second while the first is on its way is refused.
        fits(immediate, {STATUS_SUCCESS, STATUS_INVALID_PARAMETER});
        immediateSent += immediate->Status() == STATUS_SUCCESS ? 1 : 0;
    }
    // A wait without a mask is refused; one ends empty only when the mask changed while it was
    // pending, and otherwise with the events that ended it.
    std::vector<std::pair<LONGLONG, LONGLONG>> maskChanges;
    for (const HkRequestPtr& change : masks.Requests) {
        if (change->Wait() && change->Status() == STATUS_SUCCESS) {
            maskChanges.emplace_back(change->IssuedAt(), change->CompletedAt());
        }
    }
    for (const HkRequestPtr& wait : waits.Requests) {
        fits(wait, {STATUS_SUCCESS, STATUS_INVALID_PARAMETER});
        if (wait->Status() != STATUS_SUCCESS || wait->Output() != std::vector<UCHAR>(4, 0)) {
            continue;
        }
        const bool changed = std::any_of(maskChanges.begin(), maskChanges.end(), [&](auto span) {
            return span.second >= wait->IssuedAt() && span.first <= wait->CompletedAt();
        });
        EXPECT_TRUE(changed) << "a wait ended with no event and no mask change";
    }
    for (const HkRequestPtr& control : controls.Requests) {
        // RTS belongs to the handshake: SET_RTS is refused.
        fits(control, {STATUS_SUCCESS, STATUS_INVALID_PARAMETER});
    }

    // The simulated processor runs on host threads: one the host keeps from running while the
    // line goes on at real time (sanitizers, a loaded machine) can let the UART overrun, and the
    // bytes an overrun loses no flow control brings back. The driver reports it (CE_OVERRUN).
    bool overran = overrunsBefore != 0;
    if (d != Disruption::Close && !removed) {
        // The rest of what the far end sent is still to be read, every byte of it.
        ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(MAXULONG, MAXULONG, 100)));
        reads.emplace_back();
        ASSERT_TRUE(HmWaitUntil([&] {
            std::vector<UCHAR> rest;
            EXPECT_TRUE(Port.ReadFile(4096, &rest));
            reads.back().push_back(rest);
            delivered += rest.size();
            return HmRemotePending(Board, 0) == 0 && rest.empty();
        }));
        overran = HmUart(Board, 0).Overruns != 0;
        SERIAL_STATUS status{};
        ASSERT_TRUE(Port.ClearCommError(nullptr, &status));
        EXPECT_EQ(status.AmountInInQueue, 0u);
        EXPECT_EQ(status.AmountInOutQueue, 0u);
        EXPECT_EQ(status.Errors & ~(overran ? SERIAL_ERROR_OVERRUN : 0), 0u)
            << "flow control keeps every byte";
    }
    if (!removed) {
        ASSERT_TRUE(HmWaitUntil([&] { return HmUart(Board, 0).TxCount == 0; }));
        HkWaitClock(HkNow() + 2 * Ms); // the last character's stop bit
    }

    // What the far end got: the immediate characters apart, then the writes' bytes.
    std::vector<UCHAR> received;
    size_t marks = 0;
    for (UCHAR byte : HmRemoteTake(Board, 0)) {
        if (byte == ImmediateMark) {
            ++marks;
        } else {
            received.push_back(byte);
        }
    }
    if (!clearing && !removed) {
        // A clear empties the transmitter too, and a board pulled out takes its FIFO along.
        EXPECT_GE(marks, immediateSent);
    }
    EXPECT_LE(marks, immediates.Requests.size());

    std::vector<UCHAR> readBytes, writtenBytes;
    for (const auto& lane : reads) {
        for (const std::vector<UCHAR>& piece : lane) {
            readBytes.insert(readBytes.end(), piece.begin(), piece.end());
        }
    }
    if (clearing) {
        // A clear drops bytes, never adds, doubles or reorders one.
        for (const std::vector<UCHAR>& piece : writes[0]) {
            writtenBytes.insert(writtenBytes.end(), piece.begin(), piece.end());
        }
        EXPECT_TRUE(Subsequence(readBytes, inbound)) << delivered << " bytes read";
        EXPECT_TRUE(Subsequence(received, writtenBytes)) << received.size() << " bytes received";
        return;
    }
    // Reads: all of it where nothing ends the port, the beginning of it otherwise; after an
    // overrun each thread's bytes still come in the order they were sent.
    const bool whole = d != Disruption::Close && !removed;
    if (overran) {
        // Each thread's bytes in order, and no byte missing but the ones the UART turned away.
        for (const auto& lane : reads) {
            std::vector<UCHAR> bytes;
            for (const std::vector<UCHAR>& piece : lane) {
                bytes.insert(bytes.end(), piece.begin(), piece.end());
            }
            EXPECT_TRUE(Subsequence(bytes, inbound));
        }
        const size_t lost = HmUart(Board, 0).Overruns;
        if (whole) {
            EXPECT_EQ(delivered + lost, inbound.size()) << lost << " lost to overruns";
        } else {
            EXPECT_LE(delivered, inbound.size());
        }
    } else {
        EXPECT_TRUE(Interleaving(inbound, reads, !whole).Holds())
            << delivered << " of " << inbound.size() << " bytes read";
        if (whole) {
            EXPECT_EQ(delivered, inbound.size());
        }
    }
    if (!removed) {
        // Writes: what each handed to the transmitter (its Information), all of it on the line.
        EXPECT_TRUE(Interleaving(received, writes, false).Holds())
            << received.size() << " bytes received";
    }
}

INSTANTIATE_TEST_SUITE_P(Disruptions, SerialConcurrency,
                         ::testing::Values(Disruption::Cancel, Disruption::Purge, Disruption::Close,
                                           Disruption::Restart, Disruption::SurpriseRemoval,
                                           Disruption::Sleep),
                         [](const ::testing::TestParamInfo<Disruption>& info) {
                             return std::string(DisruptionName(info.param));
                         });
