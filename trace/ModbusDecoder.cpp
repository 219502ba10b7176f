#include "trace/ModbusDecoder.h"

#include "modbus/Frames.h"

#include <algorithm>

namespace talvex::trace {

namespace {

constexpr size_t kHeaderBytes = 3;  // station, function, byte count or code

std::string Num(unsigned value)
{
    return std::to_string(value);
}

// "address 2210 (register 10 + 2200)" for the gateway's range, else "address 10".
std::string Address(uint16_t address)
{
    std::string s = "address " + Num(address);
    if (address >= kPlcCanAddressOffset)
        s += " (register " + Num(address - kPlcCanAddressOffset) + " + " + Num(kPlcCanAddressOffset) + ")";
    return s;
}

std::string Bytes(size_t n)
{
    return Num(static_cast<unsigned>(n)) + (n == 1 ? " byte" : " bytes");
}

}  // namespace

void ModbusDecoder::Sent(int32_t result, TraceLine &line)
{
    const std::vector<uint8_t> &b = line.bytes;
    line.unansweredBefore = !request_.empty() && !answered_;
    line.exchange = ++exchange_;
    rx_.clear();
    answered_ = false;
    const bool request = b.size() == kRequestFrameSize && CrcMatches(b.data(), b.size());
    request_ = request ? b : std::vector<uint8_t>{};
    if (!request) {
        line.text = "sent " + Bytes(b.size()) + ", not a request of this master";
    } else {
        const uint16_t first = GetWordBE(&b[2]), second = GetWordBE(&b[4]);
        const std::string station = "station " + Num(b[0]) + ", ";
        if (b[1] == kFnReadHoldingRegisters)
            line.text = "request: " + station + "read registers (3), " + Address(first) + ", count " + Num(second);
        else if (b[1] == kFnWriteSingleRegister)
            line.text = "request: " + station + "write register (6), " + Address(first) + ", value " + Num(second);
        else
            line.text = "request: " + station + "function " + Num(b[1]) + ", " + Num(first) + ", " + Num(second);
    }
    if (result != static_cast<int32_t>(b.size())) {
        line.text += "; only " + Bytes(static_cast<size_t>(std::abs(result))) + " went out";
        line.failed = true;
    }
}

ModbusDecoder::Parts ModbusDecoder::split() const
{
    Parts p;
    const size_t n = rx_.size();
    // The echo: the request's own bytes, first, as a 2-wire adapter hands them back.
    // A write's reply is the same bytes: one copy is the echo only on a line known to echo.
    if (!request_.empty()) {
        const size_t m = std::min(n, request_.size());
        const bool copy = std::equal(rx_.begin(), rx_.begin() + static_cast<long>(m), request_.begin());
        const bool writeReply = request_[1] == kFnWriteSingleRegister && !lineEchoes_;
        const bool twoCopies = n > request_.size();
        if (copy && m > 0 && (!writeReply || twoCopies))
            p.echoEnd = m;
    }
    p.frameStart = p.frameEnd = n;
    if (request_.empty())
        return p;
    const uint8_t station = request_[0], fn = request_[1];
    const uint16_t count = GetWordBE(&request_[4]);
    // The earliest place a reply to this request begins: its station, its function
    // (or the exception flag on it) and, for a read, the byte count it must carry.
    for (size_t k = p.echoEnd; k < n; ++k) {
        const size_t left = n - k;
        if (rx_[k] != station)
            continue;
        if (left >= 2 && rx_[k + 1] != fn && rx_[k + 1] != (fn | kExceptionFlag))
            continue;
        const bool exception = left >= 2 && rx_[k + 1] == (fn | kExceptionFlag);
        if (!exception && fn == kFnReadHoldingRegisters && left >= kHeaderBytes && rx_[k + 2] != 2 * count)
            continue;
        p.frameStart = k;
        p.exception = exception;
        if (left >= 2)
            p.frameSize = exception                       ? kExceptionFrameSize
                          : fn == kFnReadHoldingRegisters ? kReadReplyOverhead + 2 * size_t(count)
                                                          : kRequestFrameSize;
        p.frameEnd = p.frameSize ? std::min(n, k + p.frameSize) : n;
        break;
    }
    return p;
}

std::string ModbusDecoder::describeFrame(size_t start) const
{
    const uint8_t *f = &rx_[start];
    const std::string station = "station " + Num(f[0]) + ", ";
    if (f[1] & kExceptionFlag)
        return "exception: " + station + "function " + Num(f[1] & ~kExceptionFlag & 0xFF) + ", code " + Num(f[2]) +
               " (" + ExceptionName(f[2]) + ")";
    if (f[1] == kFnReadHoldingRegisters)
        return "reply: " + station + Num(f[2] / 2) + " registers";
    return "reply: " + station + "write confirmed, " + Address(GetWordBE(&f[2])) + ", value " + Num(GetWordBE(&f[4]));
}

void ModbusDecoder::Received(TraceLine &line)
{
    line.exchange = exchange_;
    const size_t start = rx_.size();
    if (start + line.bytes.size() > kMaxHeld) {
        line.text = Bytes(line.bytes.size()) + " stray (more than any reply)";
        line.failed = true;
        return;
    }
    rx_.insert(rx_.end(), line.bytes.begin(), line.bytes.end());
    const size_t end = rx_.size();
    const Parts p = split();
    std::vector<std::string> parts;
    const auto overlap = [&](size_t a, size_t b) {
        return std::min(b, end) > std::max(a, start) ? std::min(b, end) - std::max(a, start) : 0;
    };
    if (const size_t e = overlap(0, p.echoEnd))
        parts.push_back(p.echoEnd < request_.size() ? "echo of the request, " + Num(unsigned(p.echoEnd)) + " of " +
                                                          Num(unsigned(request_.size())) + " bytes"
                                                    : "echo of the request");
    if (const size_t s = overlap(p.echoEnd, p.frameStart)) {
        parts.push_back(Bytes(s) + " stray");
        line.failed = true;
    }
    if (overlap(p.frameStart, p.frameEnd)) {
        const size_t have = p.frameEnd - p.frameStart;
        if (p.frameSize == 0 || have < p.frameSize) {
            const std::string of = p.frameSize ? Num(unsigned(have)) + " of " + Num(unsigned(p.frameSize))
                                               : Num(unsigned(have));
            parts.push_back((start <= p.frameStart ? "start of reply, " : "reply continues, ") + of + " bytes");
        } else {
            const bool crcGood = CrcMatches(&rx_[p.frameStart], p.frameSize);
            std::string text = describeFrame(p.frameStart) + (crcGood ? ", CRC good" : ", CRC bad");
            if (start > p.frameStart)
                text = "end of " + text;
            parts.push_back(text);
            if (!crcGood || p.exception)
                line.failed = true;
            else if (!answered_) {
                answered_ = true;
                if (p.echoEnd == request_.size() && request_[1] == kFnReadHoldingRegisters)
                    lineEchoes_ = true;
            }
        }
    }
    if (const size_t t = overlap(p.frameEnd, end); t && p.frameStart < end) {
        parts.push_back(Bytes(t) + " stray after the reply");
        line.failed = true;
    }
    if (request_.empty()) {
        parts.assign(1, Bytes(line.bytes.size()) + " with no request");
        line.failed = true;
    }
    for (size_t i = 0; i < parts.size(); ++i)
        line.text += (i ? "; " : "") + parts[i];
}

}  // namespace talvex::trace
