#pragma once
// talvex-cli --trace FILE: every chunk the command's port sends and receives, one
// line each (time since the start in ms, direction, silence before it, the bytes
// in hex, what they are), written as it happens.
#include "serial/QRT_ComDrv.h"
#include "trace/LineTracer.h"

#include <QString>

#include <memory>

namespace talvex::cli {

// Opens the trace for the whole run ("-" for standard error). False with the reason.
bool OpenTraceFile(const QString &path, QString &error);
void CloseTraceFile();

enum class TraceProtocol { Modbus, Bootloader };

// Taps `driver` for as long as it lives, when a trace file is open; otherwise does nothing.
class TraceTap {
public:
    TraceTap(TQRTCommDriver &driver, TraceProtocol protocol);
    ~TraceTap();
    TraceTap(const TraceTap &) = delete;
    TraceTap &operator=(const TraceTap &) = delete;

private:
    TQRTCommDriver &driver_;
    std::unique_ptr<trace::LineTracer> tracer_;
};

}  // namespace talvex::cli
