#include "app/cli/TraceFile.h"

#include <chrono>
#include <cstdio>

namespace talvex::cli {

namespace {

struct TraceFile {
    std::FILE *file = nullptr;
    bool owned = false;
    // Times count from the start of the program's work, for every port it uses.
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

TraceFile &Trace()
{
    static TraceFile trace;
    return trace;
}

void WriteLine(const trace::TraceLine &line)
{
    std::FILE *f = Trace().file;
    if (!f)
        return;
    const std::string text = trace::FormatTraceLine(line) + '\n';
    std::fwrite(text.data(), 1, text.size(), f);
    // Line by line: a trace is read when something went wrong, perhaps a crash.
    std::fflush(f);
}

}  // namespace

bool OpenTraceFile(const QString &path, QString &error)
{
    CloseTraceFile();
    TraceFile &t = Trace();
    t.start = std::chrono::steady_clock::now();
    if (path == QLatin1String("-")) {
        t.file = stderr;
        return true;
    }
    t.file = std::fopen(path.toLocal8Bit().constData(), "w");
    t.owned = t.file != nullptr;
    if (!t.file)
        error = QStringLiteral("--trace: cannot write \"%1\"").arg(path);
    return t.file != nullptr;
}

void CloseTraceFile()
{
    TraceFile &t = Trace();
    if (t.owned && t.file)
        std::fclose(t.file);
    t.file = nullptr;
    t.owned = false;
}

TraceTap::TraceTap(TQRTCommDriver &driver, TraceProtocol protocol) : driver_(driver)
{
    if (!Trace().file)
        return;
    tracer_ = std::make_unique<trace::LineTracer>(protocol == TraceProtocol::Modbus ? trace::MakeModbusDecoder()
                                                                                    : trace::MakeBootDecoder(),
                                                  WriteLine, Trace().start);
    driver_.SetTap(tracer_.get());
}

TraceTap::~TraceTap()
{
    if (tracer_ && driver_.Tap() == tracer_.get())
        driver_.SetTap(nullptr);
}

}  // namespace talvex::cli
