// The main window without a module: start-up state, the version caption, connect failures,
// the configuration write's refusals, and the write dialog's input rules.
#include "modbus/MODBUS_RTU.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/GridAccess.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/PtyPair.h"
#include "ui/ClockText.h"

#include <QClipboard>
#include <QScreen>
#include <QtTest/qtestspontaneevent.h>
#include <QtTest>

#include <functional>

// What is done to the value field just before the keys under test.
using FieldStep = std::function<void(QLineEdit *)>;
Q_DECLARE_METATYPE(FieldStep)
// Register number to the word the module holds there.
using RegisterWords = QMap<int, uint16_t>;

namespace {
void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

const FieldStep kAsTyped = [](QLineEdit *) {};
const FieldStep kCursorAtEnd = [](QLineEdit *field) { field->end(false); };
const FieldStep kCursorAtHome = [](QLineEdit *field) { field->home(false); };
const FieldStep kAllSelected = &QLineEdit::selectAll;
const FieldStep kLastKeyUndone = &QLineEdit::undo;

QTestEventList Typed(const QString &keys)
{
    QTestEventList events;
    events.addKeyClicks(keys);
    return events;
}

QTestEventList Pressed(Qt::Key key)
{
    QTestEventList events;
    events.addKeyClick(key);
    return events;
}
}  // namespace

class TestMainForm : public MainWindowTest {
    Q_OBJECT

private slots:
    void startUpState()
    {
        QCOMPARE(MainForm, form.get());
        QCOMPARE(form->windowTitle(), QString("TALVEX_M测试程序 V1.50"));
        QCOMPARE(form->size(), QSize(742, 298));
        QCOMPARE(form->GroupBox1->title(), QString("通信参数"));
        QCOMPARE(form->RzGroupBox1->title(), QString("模块标定"));
        QCOMPARE(form->Edit4->text(), QString("0"));
        QVERIFY(form->Edit4->isReadOnly());
        QCOMPARE(form->ComboBox1->count(), 8);
        QCOMPARE(form->ComboBox1->currentText(), QString("COM2"));
        QCOMPARE(form->EX_Addr->count(), 99);
        QCOMPARE(form->EX_Addr->currentText(), QString("1"));
        QCOMPARE(form->EX_Addr->itemText(98), QString("99"));
        QCOMPARE(form->EX_Baud->currentText(), QString("57600"));
        QCOMPARE(form->ComboBox6->currentText(), QString("PC-UART"));
        QCOMPARE(form->ComboBox6->itemText(1), QString("PLC-CAN"));
        QCOMPARE(form->SpeedButton1->text(), QString("开始连接"));
        QVERIFY(form->SpeedButton1->isCheckable());
        QVERIFY(!form->SpeedButton1->isChecked());
        QCOMPARE(form->BitBtn1->text(), QString("固件升级"));
        QVERIFY(!form->BitBtn2->isEnabled());
        QCOMPARE(form->BitBtn2->text(), QString("标定到模块"));
        QCOMPARE(form->TimerStr->text(), QString("12:00"));
        QCOMPARE(FontColor(form->Label20), QColor(Qt::black));
        QCOMPARE(form->Shape1->BrushColor(), SystemWindowColor());
        QVERIFY(form->TimerSec.isActive());
        QCOMPARE(form->TimerSec.interval(), 500);
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(form->Timer1.interval(), 30);
        QCOMPARE(form->ExchangeCount, 0);
        QVERIFY(!form->LinkOk);

        // Configuration controls and their tables.
        QCOMPARE(form->SpinEdit2->Value(), 1);
        QCOMPARE(form->SpinEdit2->minimum(), 1);
        QCOMPARE(form->SpinEdit2->maximum(), 99);
        QCOMPARE(form->SpinEdit3->Value(), 100);
        QCOMPARE(form->SpinEdit3->maximum(), 9999);
        QCOMPARE(form->Baud_CAN->currentText(), QString("500K"));
        QCOMPARE(form->Baud_CAN->count(), 8);
        QCOMPARE(form->Baud_485->currentText(), QString("19200"));
        QCOMPARE(form->Filter_Val->currentText(), QString("零级"));
        QCOMPARE(form->Filter_Val->itemText(9), QString("九级"));
        QCOMPARE(form->Dat_485->currentText(), QString("8 E 1"));

        for (int i = 0; i < kMirrorWords; ++i)
            QCOMPARE(RegisterMirror[i], uint16_t(i));
    }

    void gridsBeforeTheFirstReply()
    {
        const QStringList heads1 = {"AD编号", " AD00", " AD01", " AD02", " AD03", " AD04", " AD05", " AD06", " AD07"};
        for (int c = 0; c < 9; ++c) {
            QCOMPARE(CellText(form->StringGrid1, c, 0), heads1[c]);
            if (c > 0)
                QCOMPARE(CellText(form->StringGrid1, c, 1), QString::number(c - 1));
        }
        QCOMPARE(CellText(form->StringGrid1, 0, 1), QString("采集数值"));
        QCOMPARE(CellText(form->StringGrid2, 0, 0), QString("DA编号"));
        QCOMPARE(CellText(form->StringGrid2, 0, 1), QString("设DA值"));
        QCOMPARE(CellText(form->StringGrid2, 0, 2), QString("设增益"));
        for (int c = 1; c <= 4; ++c) {
            QCOMPARE(CellText(form->StringGrid2, c, 0), QString(" DA0%1").arg(c - 1));
            QCOMPARE(CellText(form->StringGrid2, c, 1), QString::number(c + 9));
            QCOMPARE(CellText(form->StringGrid2, c, 2), QString::number(c + 13));
        }
        QCOMPARE(form->StringGrid1->ColWidth(0), 86);
        QCOMPARE(form->StringGrid1->ColWidth(1), 80);
        QCOMPARE(form->StringGrid2->ColWidth(0), 86);
    }

    void versionText_data()
    {
        QTest::addColumn<int>("word");
        QTest::addColumn<QString>("text");
        QTest::newRow("150") << 150 << "1.50";
        QTest::newRow("105") << 105 << "1.5";
        QTest::newRow("7") << 7 << "0.7";
        QTest::newRow("149") << 149 << "1.49";
        QTest::newRow("65535") << 65535 << "655.35";
    }
    void versionText()
    {
        QFETCH(int, word);
        QFETCH(QString, text);
        QCOMPARE(TMainForm::VersionText(static_cast<uint16_t>(word)), text);
    }

    void clockTicks()
    {
        QTRY_VERIFY_WITH_TIMEOUT(form->TimerStr->text() != "12:00", 1500);
        QVERIFY(form->TimerStr->text().contains(QTime::currentTime().toString("mm")));
    }

    // A fixed moment, so a minute turning between two reads cannot matter, and a
    // time whose every field differs, so a swapped or missing field shows.
    void clockText_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::newRow("C") << "C"
                           << "31 Dec 2021  14:05:09";
        QTest::newRow("en_US") << "en_US"
                               << "12/31/21  2:05:09 PM";
        QTest::newRow("de_DE") << "de_DE"
                               << "31.12.21  14:05:09";
        QTest::newRow("zh_CN") << "zh_CN"
                               << "2021/12/31  14:05:09";
    }

    void clockText()
    {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        const QDateTime moment(QDate(2021, 12, 31), QTime(14, 5, 9));
        QCOMPARE(ClockText(moment, QLocale(locale)), text);
    }

    // The window shows the clock text of the moment it ticked.
    void clockTickShowsClockText()
    {
        const QDateTime before = QDateTime::currentDateTime();
        form->TimerSecTimer();
        const QDateTime after = QDateTime::currentDateTime();
        const QString shown = form->TimerStr->text();
        QVERIFY2(shown == ClockText(before, QLocale::system()) || shown == ClockText(after, QLocale::system()),
                 qPrintable(shown));
    }

    void connectToMissingPort()
    {
        MessageRecorder messages;
        qputenv("TALVEX_PORT_DIR", "/nonexistent-talvex-ports");
        form->Edit4->setText("7");
        form->ExchangeCount = 3;
        form->SpeedButton1->click();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].caption, QString("串口错误"));
        QCOMPARE(messages.shown[0].text,
                 QString("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。"));
        QVERIFY(!form->SpeedButton1->isChecked());
        QCOMPARE(form->SpeedButton1->text(), QString("开始连接"));
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(form->ExchangeCount, 0);
        QCOMPARE(form->Edit4->text(), QString("7"));  // the text keeps what it showed
        QCOMPARE(form->Shape1->BrushColor(), SystemWindowColor());
    }

    void connectToBusyPortThenDisconnect()
    {
        MessageRecorder messages;
        PtyPair pty(2);
        TQRTCommDriver holder;
        holder.SetComPort(pnCOM2);
        QVERIFY(holder.Open());
        form->SpeedButton1->click();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].caption, QString("串口错误"));
        QVERIFY(!form->SpeedButton1->isChecked());
        holder.Close();

        // Free now: the connect opens it, the poll starts, the indicator turns lime.
        form->SpeedButton1->click();
        QCOMPARE(messages.shown.size(), 1);
        QVERIFY(form->SpeedButton1->isChecked());
        QCOMPARE(form->SpeedButton1->text(), QString("断开连接"));
        QCOMPARE(form->Shape1->BrushColor(), QColor(0, 255, 0));
        QVERIFY(form->Timer1.isActive());
        QVERIFY(form->ComDriver.IsOpen());
        QCOMPARE(form->ComDriver.ComPortSpeed(), br57600);
        QCOMPARE(form->ComDriver.ComPortParity(), ptEVEN);
        // The first tick sends the read request.
        std::vector<uint8_t> sent;
        QTRY_VERIFY_WITH_TIMEOUT((Append(sent, pty.readMaster(0, 0)), sent.size() >= 8), 1000);
        QCOMPARE(sent, (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x20, 0x44, 0x12}));

        form->SpeedButton1->click();
        QCOMPARE(form->SpeedButton1->text(), QString("开始连接"));
        QVERIFY(!form->ComDriver.IsOpen());
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(form->Shape1->BrushColor(), SystemWindowColor());
        QVERIFY(!form->LinkOk);
    }

    // Each configuration control is the one its settings row describes: its
    // range or its list's texts, and what is entered comes back as entered.
    void configurationControlsFollowTheSettingsTable()
    {
        TModuleSettings entered;
        for (size_t i = 0; i < kModuleSettings.size(); ++i) {
            const TSettingRow &row = kModuleSettings[i];
            const char *name = TMainForm::kSettingControls[i].ObjectName;
            if (row.IsList()) {
                auto *list = form->findChild<TDropDownList *>(name);
                QVERIFY2(list, name);
                QCOMPARE(list->count(), int(row.Texts.size()));
                for (int k = 0; k < list->count(); ++k)
                    QCOMPARE(list->itemText(k), QString::fromUtf8(row.Texts[size_t(k)]));
            } else {
                auto *spin = form->findChild<TSpinEdit *>(name);
                QVERIFY2(spin, name);
                QCOMPARE(spin->minimum(), row.Min);
                QCOMPARE(spin->maximum(), row.Max);
            }
            // Every setting away from its default: the highest value but one.
            entered.*row.Member = row.Highest() - 1;
        }
        form->EnterSettings(entered);
        const TModuleSettings back = form->EnteredSettings();
        for (const TSettingRow &row : kModuleSettings)
            QCOMPARE(back.*row.Member, entered.*row.Member);
    }

    // The module's list settings as read back (register: word), one of them
    // outside its list's table, so that list is left without a selection.
    void configurationWriteRefusesAnEmptyList_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<RegisterWords>("readBack");
        QTest::addColumn<QString>("message");
        QTest::newRow("Baud_CAN") << "Baud_CAN" << RegisterWords{{22, 8}, {23, 1}, {25, 0}, {26, 2}}
                                  << "请选择CAN波特率 ！";
        QTest::newRow("Baud_485") << "Baud_485" << RegisterWords{{22, 6}, {23, 4}, {25, 0}, {26, 2}}
                                  << "请选择485波特率 ！";
        QTest::newRow("Filter_Val") << "Filter_Val" << RegisterWords{{22, 6}, {23, 1}, {25, 10}, {26, 2}}
                                    << "请选择滤波等级 ！";
        QTest::newRow("Dat_485") << "Dat_485" << RegisterWords{{22, 6}, {23, 1}, {25, 0}, {26, 3}}
                                 << "请选择485格式 ！";
    }
    void configurationWriteRefusesAnEmptyList()
    {
        QFETCH(QString, list);
        QFETCH(RegisterWords, readBack);
        QFETCH(QString, message);
        MessageRecorder messages;
        PtyPair pty(2);
        form->SpeedButton1->click();
        QVERIFY(form->SpeedButton1->isChecked());
        pty.readMaster(300);
        for (auto it = readBack.cbegin(); it != readBack.cend(); ++it)
            RegisterMirror[it.key()] = it.value();
        form->ReadBackConfiguration();
        auto *combo = form->findChild<TDropDownList *>(list);
        QVERIFY(combo);
        QCOMPARE(combo->ItemIndex(), -1);
        form->BitBtn2Click();
        QCOMPARE(messages.texts(), QStringList{message});
        QCOMPARE(messages.shown[0].caption, QString("TALVEX_M"));
        QVERIFY(form->Timer1.isActive());  // polling was never stopped
        // Nothing but polling reads went out: no write frame.
        const auto bytes = pty.readMaster(100);
        QCOMPARE(bytes.size() % 8, size_t(0));
        for (size_t k = 0; k < bytes.size(); k += 8)
            QCOMPARE(bytes[k + 1], uint8_t(0x03));
        ResetRegisterMirror();
    }

    void readBackClampsAndSelects()
    {
        RegisterMirror[21] = 0;  // station 0 shows 1
        RegisterMirror[22] = 3;
        RegisterMirror[23] = 0;
        RegisterMirror[24] = 0;  // suppression 0 shows 1
        RegisterMirror[25] = 9;
        RegisterMirror[26] = 1;
        form->ReadBackConfiguration();
        QCOMPARE(form->SpinEdit2->Value(), 1);
        QCOMPARE(form->Baud_CAN->currentText(), QString("100K"));
        QCOMPARE(form->Baud_485->currentText(), QString("9600"));
        QCOMPARE(form->SpinEdit3->Value(), 1);
        QCOMPARE(form->Filter_Val->currentText(), QString("九级"));
        QCOMPARE(form->Dat_485->currentText(), QString("8 O 1"));
        RegisterMirror[21] = 150;
        RegisterMirror[24] = 65535;
        form->ReadBackConfiguration();
        QCOMPARE(form->SpinEdit2->Value(), 99);
        QCOMPARE(form->SpinEdit3->Value(), 9999);
        ResetRegisterMirror();
    }

    void doubleClickNeedsASelectionAndALink()
    {
        MessageRecorder messages;
        // Nothing selected yet: nothing happens.
        form->StringGrid2DblClick();
        QVERIFY(messages.shown.isEmpty());
        // A fixed cell selects nothing.
        ClickCell(form->StringGrid2, 0, 1);
        QCOMPARE(CurrentCell(form->StringGrid2), QPoint(1, 1));
        QCOMPARE(form->SelectedRegister, 0);

        ClickCell(form->StringGrid2, 3, 2);
        QCOMPARE(CurrentCell(form->StringGrid2), QPoint(3, 2));
        QCOMPARE(form->SelectedRegister, 16);
        ClickCell(form->StringGrid2, 4, 1);
        QCOMPARE(CurrentCell(form->StringGrid2), QPoint(4, 1));
        QCOMPARE(form->SelectedRegister, 13);
        form->StringGrid2DblClick();
        QCOMPARE(messages.texts(), QStringList{"连接未成功 ！"});
        QCOMPARE(messages.shown[0].caption, QString("TALVEX_M"));
        QVERIFY(!dialog->isVisible());
    }

    void dialogValueField_data()
    {
        // An empty start leaves the field's "0", selected so that typing replaces it.
        QTest::addColumn<QString>("start");
        QTest::addColumn<FieldStep>("before");
        QTest::addColumn<QTestEventList>("keys");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("digits pass") << "" << kAllSelected << Typed("123") << "123" << QStringList{};
        QTest::newRow("letters are discarded") << "" << kAllSelected << Typed("1a2-b") << "12" << QStringList{};
        QTest::newRow("70000 is clamped at the fifth digit")
            << "" << kAllSelected << Typed("70000") << "65535" << QStringList{"设定范围: 0-65535 ！"};
        QTest::newRow("65535 passes") << "" << kAllSelected << Typed("65535") << "65535" << QStringList{};
        QTest::newRow("deleting the last digit leaves 0")
            << "5" << kCursorAtEnd << Pressed(Qt::Key_Backspace) << "0" << QStringList{};
    }
    void dialogValueField()
    {
        QFETCH(QString, start);
        QFETCH(FieldStep, before);
        QFETCH(QTestEventList, keys);
        QFETCH(QStringList, messages);
        QFETCH(QString, result);
        MessageRecorder recorder;
        dialog->show();
        dialog->Edit1->setText(start);
        before(dialog->Edit1);
        keys.simulate(dialog->Edit1);
        QCOMPARE(dialog->Edit1->text(), result);
        QCOMPARE(recorder.texts(), messages);
        dialog->hide();
    }

    void dialogDiscardsControlCharacters_data()
    {
        // Each key as a window system delivers it: key code, modifiers and the
        // control character it carries. The field holds "4712", the "2" typed last,
        // with room for one more digit.
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("character");
        QTest::addColumn<FieldStep>("before");  // after the "2": left as typed, a move, a selection or an undo
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("selected");
        const int ctrl = int(Qt::ControlModifier);
        const int ctrlShift = int(Qt::ControlModifier | Qt::ShiftModifier);
        QTest::newRow("Ctrl+V pastes nothing") << int(Qt::Key_V) << ctrl << 0x16 << kAsTyped << "4712"
                                               << "";
        QTest::newRow("Ctrl+X cuts nothing") << int(Qt::Key_X) << ctrl << 0x18 << kAllSelected << "4712"
                                             << "4712";
        QTest::newRow("Ctrl+Z undoes nothing") << int(Qt::Key_Z) << ctrl << 0x1A << kAsTyped << "4712"
                                               << "";
        QTest::newRow("Ctrl+Y redoes nothing") << int(Qt::Key_Y) << ctrl << 0x19 << kLastKeyUndone << "471"
                                               << "";
        QTest::newRow("Ctrl+Shift+Z redoes nothing") << int(Qt::Key_Z) << ctrlShift << 0x1A << kLastKeyUndone << "471"
                                                     << "";
        QTest::newRow("Ctrl+A selects nothing") << int(Qt::Key_A) << ctrl << 0x01 << kAsTyped << "4712"
                                                << "";
        // Editing keys type no character, though Delete carries 0x7F on X11.
        QTest::newRow("Delete still deletes") << int(Qt::Key_Delete) << 0 << 0x7F << kCursorAtHome << "712"
                                              << "";
        QTest::newRow("Backspace still deletes") << int(Qt::Key_Backspace) << 0 << 0x08 << kAsTyped << "471"
                                                 << "";
    }
    void dialogDiscardsControlCharacters()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, character);
        QFETCH(FieldStep, before);
        QFETCH(QString, result);
        QFETCH(QString, selected);
        dialog->show();
        QGuiApplication::clipboard()->setText("9");
        dialog->Edit1->setText("471");
        dialog->Edit1->end(false);
        QTest::keyClick(dialog->Edit1, '2');
        QCOMPARE(dialog->Edit1->text(), QString("4712"));
        before(dialog->Edit1);
        QTest::sendKeyEvent(QTest::Click, dialog->Edit1, static_cast<Qt::Key>(key), QString(QChar(character)),
                            Qt::KeyboardModifiers(modifiers));
        QCOMPARE(dialog->Edit1->text(), result);
        QCOMPARE(dialog->Edit1->selectedText(), selected);
        dialog->hide();
    }

    void dialogRejectsAPastedNonNumber()
    {
        dialog->show();
        dialog->Edit1->setText("4711");
        dialog->Edit1->selectAll();
        QGuiApplication::clipboard()->setText("12a");
        dialog->Edit1->paste();
        QCOMPARE(dialog->Edit1->text(), QString("4711"));
        QGuiApplication::clipboard()->setText("12");
        dialog->Edit1->selectAll();
        dialog->Edit1->paste();
        QCOMPARE(dialog->Edit1->text(), QString("12"));
        dialog->hide();
    }

    void dialogShowsTicksTheBoxAndFocusesTheValue()
    {
        QCOMPARE(dialog->windowTitle(), QString(" 写寄存器 "));
        QCOMPARE(dialog->size(), QSize(265, 130));
        QCOMPARE(dialog->GroupBox1->title(), QString(" 写至模块(D) 寄存器 "));
        QCOMPARE(dialog->BitBtn1->text(), QString("写入(&W)"));
        QCOMPARE(dialog->BitBtn3->text(), QString("关闭(&C)"));
        QVERIFY(!dialog->Edit2->isEnabled());
        QCOMPARE(dialog->Edit1->maxLength(), 5);
        dialog->CheckBox1->setChecked(false);
        dialog->show();
        QVERIFY(dialog->CheckBox1->isChecked());
        QTRY_VERIFY(dialog->Edit1->hasFocus());
        // Enter and Escape elsewhere in the dialog do nothing; Escape in the value field closes.
        dialog->CheckBox1->setFocus();
        QTest::keyClick(dialog->CheckBox1, Qt::Key_Escape);
        QTest::keyClick(dialog->CheckBox1, Qt::Key_Return);
        QVERIFY(dialog->isVisible());
        QTest::keyClick(dialog->Edit1, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
    }

    void dialogRestoredByTheWindowSystemKeepsWhatTheUserSet()
    {
        dialog->show();
        QVERIFY(dialog->CheckBox1->isChecked());
        dialog->CheckBox1->setChecked(false);
        dialog->BitBtn3->setFocus();
        QTRY_VERIFY(dialog->BitBtn3->hasFocus());
        // Restored from minimised: the window system shows it again.
        QShowEvent restored;
        QSpontaneKeyEvent::setSpontaneous(&restored);
        QVERIFY(restored.spontaneous());
        QCoreApplication::instance()->notify(dialog.get(), &restored);
        QVERIFY(!dialog->CheckBox1->isChecked());
        QCOMPARE(dialog->focusWidget(), dialog->BitBtn3);
        // Shown again by the program: ticked, and the value field has the focus in it.
        dialog->hide();
        dialog->show();
        QVERIFY(dialog->CheckBox1->isChecked());
        QCOMPARE(dialog->focusWidget(), dialog->Edit1);
        dialog->hide();
    }

    void mainWindowIsCentredByItsFrame()
    {
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        const QRect frame = form->frameGeometry();
        if (frame.size() == form->size())
            QSKIP("this platform draws no window frame, so frame and client area cannot be told apart");
        QCOMPARE(frame.center(), form->screen()->availableGeometry().center());
    }
};

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
