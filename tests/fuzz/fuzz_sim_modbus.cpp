// The simulated module's Modbus service, as third-party masters and noise reach
// it: any byte stream, cut anywhere, with any pauses, on the fixed port, the
// RS-485 port or through the PLC gateway. Every answer must be a well-formed
// frame that answers a request the stream really held.
#include "modbus/Frames.h"
#include "sim/FrameLog.h"
#include "sim/ModbusRtuPersonality.h"
#include "sim/ModuleCore.h"
#include "sim/ModulePortTarget.h"
#include "sim/PlcGateway.h"
#include "tests/fuzz/FuzzSupport.h"

#include <algorithm>

using namespace talvex::sim;

namespace {

enum Op : uint8_t { kBytes, kRequest, kPause, kRestart };
constexpr int kOps = kRestart + 1;

constexpr size_t kMaxReadReplyData = 2 * ModbusRtuPersonality::kMaxReadCount;

// Whether the stream held, anywhere, a frame with a valid CRC that this reply answers.
bool AnswersARequest(const std::vector<uint8_t> &stream, const std::vector<uint8_t> &reply)
{
    for (size_t at = 0; at + kRequestFrameSize <= stream.size(); ++at) {
        const uint8_t *f = &stream[at];
        if (f[0] != reply[0] || f[1] != reply[1] || !CrcMatches(f, kRequestFrameSize))
            continue;
        if (reply[1] == kFnWriteSingleRegister && std::equal(f, f + kRequestFrameSize, reply.begin()))
            return true;
        if (reply[1] == kFnReadHoldingRegisters && 2u * GetWordBE(f + 4) == reply[2])
            return true;
    }
    return false;
}

void CheckReply(const std::vector<uint8_t> &stream, const std::vector<uint8_t> &reply, const ModbusTarget &target)
{
    FUZZ_CHECK(reply.size() >= kReadReplyOverhead);
    FUZZ_CHECK(CrcMatches(reply.data(), reply.size()));
    FUZZ_CHECK(target.answers(reply[0]));
    if (reply[1] == kFnReadHoldingRegisters) {
        FUZZ_CHECK(reply[2] == reply.size() - kReadReplyOverhead);
        FUZZ_CHECK(reply[2] % 2 == 0 && reply[2] >= 2 && reply[2] <= kMaxReadReplyData);
    } else {
        FUZZ_CHECK(reply[1] == kFnWriteSingleRegister);
        FUZZ_CHECK(reply.size() == kRequestFrameSize);
    }
    FUZZ_CHECK(AnswersARequest(stream, reply));
}

}  // namespace

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    ModuleCore module(std::nullopt, in.u32());
    ModulePortTarget fixedPort(module, ModulePort::Fixed);
    ModulePortTarget rs485Port(module, ModulePort::Rs485);
    PlcGateway gateway(module);
    ModbusTarget *const targets[] = {&fixedPort, &rs485Port, &gateway};
    const int which = in.range(0, 2);
    ModbusTarget &target = *targets[which];
    FrameLog closedLog;  // logs nothing, but the personality formats every frame for it
    ModbusRtuPersonality modbus(&target, 57600, &closedLog);

    uint64_t now = 0;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> bytes;
    while (!in.empty()) {
        bytes.clear();
        switch (in.byte() % kOps) {
        case kBytes:
            bytes = in.bytes(in.range(0, 300));
            break;
        case kRequest: {
            // A frame with a valid CRC, so the service gets past its framing as often as not.
            const uint8_t station = in.flag() ? 1 : in.byte();
            const uint8_t function = in.flag()   ? kFnReadHoldingRegisters
                                     : in.flag() ? kFnWriteSingleRegister
                                                 : in.byte();
            const RequestFrame f = BuildRequest(station, function, in.u16(), in.flag() ? in.range(0, 130) : in.u16());
            bytes.assign(f.begin(), f.end());
            break;
        }
        case kPause:
            now += in.range(0, 3000);
            modbus.idle(now);
            module.pass(now);
            if (which == 2)
                gateway.tick(now);
            break;
        case kRestart:
            module.powerUp(now);
            gateway.moduleRestarted(now);
            modbus.reset();
            break;
        }
        if (bytes.empty())
            continue;
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        const size_t pendingBefore = modbus.pendingBytes();
        std::vector<LineReply> replies;
        modbus.receive(bytes.data(), bytes.size(), now, replies);
        // At most one answer per request's worth of bytes, and a bounded backlog.
        FUZZ_CHECK(replies.size() <= (pendingBefore + bytes.size()) / kRequestFrameSize);
        FUZZ_CHECK(modbus.pendingBytes() <= ModbusRtuPersonality::kMaxPending);
        for (const LineReply &r : replies) {
            CheckReply(stream, r.bytes, target);
            if (r.sent)
                r.sent();
        }
    }
    return 0;
}
