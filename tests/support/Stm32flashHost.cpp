#include "tests/support/Stm32flashHost.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

Stm32flashRun RunStm32flash(const QStringList &args, int timeoutMs)
{
    Stm32flashRun r;
    const QString exe = QStandardPaths::findExecutable("stm32flash");
    if (exe.isEmpty()) {
        r.output = "stm32flash is not installed (Debian package stm32flash; make deps installs it)";
        return r;
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(exe, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.output = "stm32flash did not finish: " + QString::fromLocal8Bit(p.readAll());
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = QString::fromLocal8Bit(p.readAll());
    return r;
}

TemporaryImage::TemporaryImage(const QByteArray &image) : path_(dir_.filePath("image.bin"))
{
    QFile f(path_);
    if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size())
        qFatal("cannot write %s", qPrintable(path_));
}

TemporaryImage::TemporaryImage(const std::vector<uint8_t> &image)
    : TemporaryImage(QByteArray(reinterpret_cast<const char *>(image.data()), qsizetype(image.size())))
{
}

Stm32flashRun Stm32flashWriteAndVerify(const QString &imagePath, const QString &port, uint32_t baud, int timeoutMs)
{
    return RunStm32flash({"-b", QString::number(baud), "-m", "8n1", "-w", imagePath, "-v", port}, timeoutMs);
}
