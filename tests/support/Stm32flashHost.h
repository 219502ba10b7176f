// stm32flash run as a third-party host against a port, with its image in a
// temporary file.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

struct Stm32flashRun {
    int exitCode = -1;  // -1 when it is missing, crashed or did not finish
    QString output;     // its own report, or why it did not run
};

// Runs stm32flash with `args` and waits at most `timeoutMs` for it.
Stm32flashRun RunStm32flash(const QStringList &args, int timeoutMs);

// `image` as a file in a temporary folder; the folder lives as long as this does.
class TemporaryImage {
public:
    explicit TemporaryImage(const QByteArray &image);
    explicit TemporaryImage(const std::vector<uint8_t> &image);
    QString path() const { return path_; }

private:
    QTemporaryDir dir_;
    QString path_;
};

// Writes and verifies `imagePath` into the chip behind `port`, 8n1: a pty cannot keep
// the parity flag that stm32flash reads back, and the bytes are the same.
Stm32flashRun Stm32flashWriteAndVerify(const QString &imagePath, const QString &port, uint32_t baud, int timeoutMs);
