#include "app/cli/ModbusSession.h"

#include "app/cli/Interrupt.h"
#include "serial/LineFormat.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace talvex::cli {

ModbusSession::ModbusSession(const PortTarget &port, int station, TLinkMode mode, TEchoMode echo, bool linesInverted,
                             TModbusLine line)
    : port_(port), station_(station), mode_(mode), echo_(echo), line_(line)
{
    driver_.SetLinesInverted(linesInverted);
}

ModbusSession::~ModbusSession()
{
    driver_.Close();
}

bool ModbusSession::open()
{
    if (port_.comIndex >= 0)
        driver_.SetComPort(static_cast<TComPortNumber>(port_.comIndex));
    else
        driver_.SetDevicePath(port_.device);
    if (!OpenWithLine(driver_, LineFormatOf(line_)))
        return false;
    master_.SetLink(FixedModbusLink(driver_, station_, mode_, echo_));
    return true;
}

ModbusSession::Outcome ModbusSession::run(const TPollRead &read, int intervalMs,
                                          const std::function<bool()> &onExchange,
                                          const std::function<void()> &onUnanswered)
{
    bool sendPending = true;
    int32_t waitTicks = 0;
    int unanswered = 0;
    bool done = false;
    Outcome outcome = Outcome::NoAnswer;
    QElapsedTimer clock;
    clock.start();
    qint64 lastSendMs = -intervalMs;

    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(kPollTickMs);
    const auto finish = [&](Outcome o) {
        outcome = o;
        done = true;
        tick.stop();
        loop.quit();
    };
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (done)
            return;
        if (Interrupted())
            return finish(Outcome::Interrupted);
        if (driver_.DeviceLost())
            return finish(Outcome::Removed);
        // A longer interval holds the next request back; half a tick of slack keeps
        // the window's rate (one request every other tick) at the default.
        if (sendPending && clock.elapsed() + kPollTickMs / 2 < lastSendMs + intervalMs)
            return;
        switch (PollStep(master_, sendPending, waitTicks, read)) {
        case TPollStep::Sent:
            lastSendMs = clock.elapsed();
            break;
        case TPollStep::GaveUp:
            if (onUnanswered)
                onUnanswered();
            if (++unanswered >= kUnansweredRequests)
                finish(Outcome::NoAnswer);
            break;
        case TPollStep::Exchange:
            unanswered = 0;
            if (!onExchange())
                finish(Outcome::Exchange);
            break;
        case TPollStep::Waiting:
            break;
        }
    });
    // A pulled adapter ends the run at once, not at the next tick's time-outs.
    const QMetaObject::Connection lost = QObject::connect(&driver_, &TQRTCommDriver::Lost, &loop,
                                                          [&] { finish(Outcome::Removed); });
    tick.start();
    if (!done)
        loop.exec();
    QObject::disconnect(lost);
    return outcome;
}

ModbusSession::Outcome ModbusSession::poll(const TPollRead &read)
{
    return run(read, 0, [] { return false; });
}

ModbusSession::Outcome ModbusSession::unlock()
{
    QElapsedTimer clock;
    clock.start();
    bool confirmed = false;
    const Outcome o = run({}, 0, [&] {
        confirmed = CanHandshakeStep(master_);
        return !confirmed && clock.elapsed() < kUnlockTimeoutMs;
    });
    if (o != Outcome::Exchange)
        return o;
    return confirmed ? Outcome::Exchange : Outcome::NotConfirmed;
}

}  // namespace talvex::cli
