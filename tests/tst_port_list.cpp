// The port lists of the main and the firmware window: items and order as ever,
// each item's tool tip naming the device its COM name leads to and the adapter
// behind it (its by-id name), or "not present"; looked up again as the list opens.
#include "tests/support/MainWindowFixture.h"
#include "tests/support/PtyPair.h"
#include "ui/Firmware.h"
#include "widgets/PortList.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const char kAdapterLink[] = "usb-FTDI_FT232R_USB_UART_A10K3S5Y-if00-port0";

QString TipOf(const QComboBox *list, int index)
{
    return list->itemData(index, Qt::ToolTipRole).toString();
}
}  // namespace

class TestPortList : public QObject, MainWindowFixture {
    Q_OBJECT
    QTemporaryDir byId_;
    std::unique_ptr<PtyPair> pty_;  // COM3, with TALVEX_PORT_DIR pointing at its directory
    QString slave_;

private slots:
    void init()
    {
        pty_ = std::make_unique<PtyPair>(3);
        QVERIFY(pty_->ok());
        qputenv("TALVEX_PORT_DIR", pty_->portDir().toLocal8Bit());
        qputenv("TALVEX_SERIAL_BY_ID", byId_.path().toLocal8Bit());
        slave_ = QFileInfo(QString::fromStdString(pty_->slavePath())).canonicalFilePath();
        QVERIFY(QFile::link(slave_, byId_.filePath(kAdapterLink)));
        createMainWindow();
    }
    void cleanup()
    {
        destroyMainWindow();
        QFile::remove(byId_.filePath(kAdapterLink));
        pty_.reset();
        qunsetenv("TALVEX_PORT_DIR");
        qunsetenv("TALVEX_SERIAL_BY_ID");
    }

    void bothWindows()
    {
        TFirmwareFrm firmware(form.get());
        const QString dir = pty_->portDir();
        for (const QComboBox *list :
             {static_cast<QComboBox *>(form->ComboBox1), static_cast<QComboBox *>(firmware.Serial_Port)}) {
            QCOMPARE(list->count(), 8);
            for (int i = 0; i < 8; ++i) {
                QCOMPARE(list->itemText(i), QStringLiteral("COM%1").arg(i + 1));
                if (i != 2)
                    QCOMPARE(TipOf(list, i), QStringLiteral("%1/COM%2: not present").arg(dir).arg(i + 1));
            }
            QCOMPARE(TipOf(list, 2), QStringLiteral("%1/COM3 (%2)").arg(dir, kAdapterLink));
        }
        QCOMPARE(form->ComboBox1->currentText(), QString("COM2"));
        QCOMPARE(firmware.Serial_Port->currentText(), QString("COM1"));
    }

    // Unplugged, and a device without a by-id name: the list tells as it opens.
    void followsThePlugging()
    {
        QFile::remove(byId_.filePath(kAdapterLink));
        QVERIFY(TipOf(form->ComboBox1, 2).contains(kAdapterLink));
        form->ComboBox1->showPopup();
        QCOMPARE(TipOf(form->ComboBox1, 2), pty_->portDir() + "/COM3");
        form->ComboBox1->hidePopup();

        pty_.reset();
        form->ComboBox1->showPopup();
        QVERIFY2(TipOf(form->ComboBox1, 2).endsWith("/COM3: not present"), qPrintable(TipOf(form->ComboBox1, 2)));
        form->ComboBox1->hidePopup();
    }
};

QTEST_MAIN(TestPortList)
#include "tst_port_list.moc"
