// The channel grids as a user and a screen reader meet them: their look, the
// selection by mouse and keys, the cells they paint again and when.
#include "modbus/Frames.h"
#include "modbus/MODBUS_RTU.h"
#include "modbus/RegisterMap.h"
#include "tests/support/GridAccess.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"
#include "widgets/CountField.h"

#include <QHeaderView>
#include <QPaintEvent>
#include <QStyleFactory>
#include <QtTest>

#include <algorithm>

namespace {

// Sees every paint of a widget: its region, and a probe run just before it.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(QWidget *widget, std::function<void()> probe = {}) : widget_(widget), probe_(std::move(probe))
    {
        widget_->installEventFilter(this);
    }
    ~PaintWatch() override { widget_->removeEventFilter(this); }
    QList<QRegion> regions;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == widget_ && event->type() == QEvent::Paint) {
            regions << static_cast<QPaintEvent *>(event)->region();
            if (probe_)
                probe_();
        }
        return false;
    }

private:
    QWidget *widget_;
    std::function<void()> probe_;
};

QRect CellRect(QAbstractItemView *grid, int col, int row)
{
    return grid->visualRect(grid->model()->index(row, col));
}

// The colour just inside the top left corner of a cell, as painted now.
QRgb CellColour(QAbstractItemView *grid, int col, int row)
{
    return grid->viewport()->grab().toImage().pixel(CellRect(grid, col, row).topLeft() + QPoint(1, 1));
}

int PixelsOf(QAbstractItemView *grid, int col, int row, QRgb colour)
{
    const QImage image = grid->viewport()->grab().toImage();
    const QRect cell = CellRect(grid, col, row);
    int n = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x)
            n += image.pixel(x, y) == colour;
    return n;
}

bool IsHighlight(const QWidget *grid, QRgb c)
{
    const QPalette &p = grid->palette();
    return c == p.color(QPalette::Active, QPalette::Highlight).rgb() ||
           c == p.color(QPalette::Inactive, QPalette::Highlight).rgb();
}

size_t WritesIn(const std::vector<std::vector<uint8_t>> &requests)
{
    return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), [](const auto &r) {
        return r.size() > 1 && r[1] == kFnWriteSingleRegister;
    }));
}

// A reply to "read 32 registers" with the given words, the rest 0.
Bytes PollReply(std::initializer_list<std::pair<int, uint16_t>> words)
{
    std::vector<uint16_t> all(kPollRegisterCount, 0);
    for (const auto &[reg, value] : words)
        all[size_t(reg)] = value;
    return ReadReply(1, all);
}

}  // namespace

class TestGrids : public MainWindowTest {
    Q_OBJECT

private slots:
    void init()
    {
        ResetRegisterMirror();
        MainWindowTest::init();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    void cleanup()
    {
        MainWindowTest::cleanup();
        ResetRegisterMirror();
    }

    void sizesFontsAndTheTableAReaderSees()
    {
        auto *g1 = form->StringGrid1;
        auto *g2 = form->StringGrid2;
        QCOMPARE(g1->size(), QSize(738, 57));
        QCOMPARE(g2->size(), QSize(414, 114));
        QCOMPARE(CellRect(g1, 3, 1).height(), 26 + 1);
        QCOMPARE(CellRect(g2, 3, 2).height(), 36 + 1);
        for (int c = 1; c < 9; ++c)
            QCOMPARE(g1->ColWidth(c), 80);
        QCOMPARE(g2->ColWidth(4), 80);
        // A cell's painted area is its width and height; the grid line follows it.
        QCOMPARE(CellRect(g2, 0, 1).size(), QSize(86 + 1, 36 + 1));
        QCOMPARE(CellRect(g1, 2, 1).topLeft(), QPoint(86 + 1 + 80 + 1, 26 + 1));
        QCOMPARE(g1->font().pixelSize(), 16);
        QCOMPARE(g2->font().pixelSize(), 21);
        QCOMPARE(g1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(g2->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(g2->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(form->focusWidget() == g2);

        // The fixed row and column are cells of the table, not headers.
        QVERIFY(!g1->horizontalHeader()->isVisible());
        QVERIFY(!g2->verticalHeader()->isVisible());
        for (auto [grid, cols, rows] : {std::tuple{g1, 9, 2}, std::tuple{g2, 5, 3}}) {
            QAccessibleInterface *table = QAccessible::queryAccessibleInterface(grid);
            QVERIFY(table && table->tableInterface());
            QCOMPARE(table->role(), QAccessible::Table);
            QCOMPARE(table->tableInterface()->columnCount(), cols);
            QCOMPARE(table->tableInterface()->rowCount(), rows);
        }
        // A reader cannot select a heading.
        QVERIFY(!(g2->model()->flags(g2->model()->index(0, 2)) & Qt::ItemIsSelectable));
        QVERIFY(g2->model()->flags(g2->model()->index(2, 2)) & Qt::ItemIsSelectable);
    }

    void coloursAndSelection()
    {
        auto *g1 = form->StringGrid1;
        auto *g2 = form->StringGrid2;
        const QRgb blue = qRgb(0, 0, 255);
        // Fixed cells of the input grid are blue with white text.
        const std::pair<int, int> fixedCells[] = {{0, 0}, {0, 1}, {1, 0}, {8, 0}};
        for (auto [c, r] : fixedCells) {
            QCOMPARE(CellColour(g1, c, r), blue);
            QVERIFY(PixelsOf(g1, c, r, qRgb(255, 255, 255)) > 0);
        }
        // Its data row is selected as a whole, and the drawing handler writes
        // white over the selection colour.
        for (int c = 1; c <= 8; ++c) {
            QVERIFY2(IsHighlight(g1, CellColour(g1, c, 1)), qPrintable(QString("AD cell %1").arg(c)));
            QVERIFY(PixelsOf(g1, c, 1, qRgb(255, 255, 255)) > 0);
        }
        // The line between two cells.
        const QRect first = CellRect(g1, 0, 0);
        QCOMPARE(g1->viewport()->grab().toImage().pixel(first.right(), first.top() + 5),
                 g1->palette().color(QPalette::Dark).rgb());

        // The output grid selects one cell; its fixed cells have the face colour.
        const QRgb face = form->palette().color(QPalette::Button).lighter(105).rgb();
        QCOMPARE(CellColour(g2, 0, 0), face);
        QCOMPARE(CellColour(g2, 3, 0), face);
        QVERIFY(IsHighlight(g2, CellColour(g2, 1, 1)));
        const QRgb base = g2->palette().color(QPalette::Base).rgb();
        QCOMPARE(CellColour(g2, 2, 1), base);
        QCOMPARE(CellColour(g2, 1, 2), base);
        QVERIFY(PixelsOf(g2, 2, 1, g2->palette().color(QPalette::Text).rgb()) > 0);  // the value "11"

        ClickCell(g2, 3, 2);
        QVERIFY(IsHighlight(g2, CellColour(g2, 3, 2)));
        QCOMPARE(CellColour(g2, 1, 1), base);
        QCOMPARE(CellColour(g2, 3, 1), base);

        ClickCell(g1, 5, 1);
        QCOMPARE(CurrentCell(g1), QPoint(5, 1));
        for (int c = 1; c <= 8; ++c)
            QVERIFY(IsHighlight(g1, CellColour(g1, c, 1)));
    }

    void onlyTheLeftButtonSelectsAndDoubleClicks_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("acts");
        QTest::newRow("left") << int(Qt::LeftButton) << true;
        QTest::newRow("right") << int(Qt::RightButton) << false;
        QTest::newRow("middle") << int(Qt::MiddleButton) << false;
    }
    void onlyTheLeftButtonSelectsAndDoubleClicks()
    {
        QFETCH(int, button);
        QFETCH(bool, acts);
        const auto b = static_cast<Qt::MouseButton>(button);
        MessageRecorder messages;
        auto *g2 = form->StringGrid2;
        ClickCell(g2, 4, 1);
        QCOMPARE(form->SelectedRegister, 13);

        ClickCell(g2, 3, 2, b);
        QCOMPARE(CurrentCell(g2), acts ? QPoint(3, 2) : QPoint(4, 1));
        QCOMPARE(form->SelectedRegister, acts ? 16 : 13);
        // Not connected: a double click that reaches the handler says so.
        DoubleClickCell(g2, 3, 2, b);
        QCOMPARE(messages.texts(), acts ? QStringList{"连接未成功 ！"} : QStringList{});

        ClickCell(form->StringGrid1, 6, 1, b);
        QCOMPARE(CurrentCell(form->StringGrid1), acts ? QPoint(6, 1) : QPoint(1, 1));
    }

    void keysMoveAmongTheDataCells_data()
    {
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QPoint>("cell");
        QTest::addColumn<int>("selectedRegister");
        QTest::newRow("left of the first column stays") << QList<int>{Qt::Key_Left} << QPoint(1, 1) << 0;
        QTest::newRow("up into the headings stays") << QList<int>{Qt::Key_Up} << QPoint(1, 1) << 0;
        QTest::newRow("right") << QList<int>{Qt::Key_Right} << QPoint(2, 1) << 11;
        QTest::newRow("right, down") << QList<int>{Qt::Key_Right, Qt::Key_Down} << QPoint(2, 2) << 15;
        QTest::newRow("down past the last row") << QList<int>{Qt::Key_Down, Qt::Key_Down} << QPoint(1, 2) << 14;
        QTest::newRow("right past the last column")
            << QList<int>{Qt::Key_Right, Qt::Key_Right, Qt::Key_Right, Qt::Key_Right} << QPoint(4, 1) << 13;
        QTest::newRow("end, home") << QList<int>{Qt::Key_End, Qt::Key_Home} << QPoint(1, 1) << 10;
    }
    void keysMoveAmongTheDataCells()
    {
        QFETCH(QList<int>, keys);
        QFETCH(QPoint, cell);
        QFETCH(int, selectedRegister);
        for (int key : keys)
            QTest::keyClick(form->StringGrid2, static_cast<Qt::Key>(key));
        QCOMPARE(CurrentCell(form->StringGrid2), cell);
        QCOMPARE(form->SelectedRegister, selectedRegister);
        // Typing does not search the cells' texts.
        QTest::keyClicks(form->StringGrid2, "DA1");
        QCOMPARE(CurrentCell(form->StringGrid2), cell);
    }

    // Row 1 of the input grid is always the selected row, and the output grid
    // always has its one selected cell: the keys and clicks with which an item
    // view deselects (Ctrl with Space, an arrow or a click) leave them selected.
    void selectionIsNeverLost_data()
    {
        QTest::addColumn<int>("grid");  // 1: input grid, 2: output grid
        QTest::addColumn<int>("key");   // 0: a click on `cell` instead
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QPoint>("cell");
        const int ctrl = int(Qt::ControlModifier);
        const int shift = int(Qt::ShiftModifier);
        for (int grid : {1, 2}) {
            const QString g = grid == 1 ? QStringLiteral("input grid, ") : QStringLiteral("output grid, ");
            const auto row = [&](const char *name, int key, int modifiers, QPoint cell = {}) {
                QTest::newRow(qPrintable(g + name)) << grid << key << modifiers << cell;
            };
            row("Ctrl+Space", Qt::Key_Space, ctrl);
            row("Space", Qt::Key_Space, 0);
            row("Ctrl+Right", Qt::Key_Right, ctrl);
            row("Ctrl+Left at the first column", Qt::Key_Left, ctrl);
            row("Ctrl+Down", Qt::Key_Down, ctrl);
            row("Ctrl+End", Qt::Key_End, ctrl);
            row("Ctrl+click on the selected cell", 0, ctrl, QPoint(1, 1));
            row("Ctrl+click on another cell", 0, ctrl, QPoint(3, 1));
            row("Shift+click on another cell", 0, shift, QPoint(3, 1));
        }
    }
    void selectionIsNeverLost()
    {
        QFETCH(int, grid);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QPoint, cell);
        TGridView *g = grid == 1 ? form->StringGrid1 : form->StringGrid2;
        g->setFocus();
        const auto mods = Qt::KeyboardModifiers(modifiers);
        // Twice: a toggle would bring the selection back the second time.
        for (int round = 1; round <= 2; ++round) {
            if (key)
                QTest::keyClick(g, Qt::Key(key), mods);
            else
                QTest::mouseClick(g->viewport(), Qt::LeftButton, mods, CellCentre(g, cell.x(), cell.y()));
            const QModelIndex current = g->currentIndex();
            QVERIFY(current.row() >= 1 && current.column() >= 1);
            QItemSelectionModel *selection = g->selectionModel();
            if (grid == 1) {
                QCOMPARE(current.row(), 1);
                for (int c = 1; c <= 8; ++c) {
                    QVERIFY2(selection->isSelected(g->model()->index(1, c)), qPrintable(QString("AD cell %1").arg(c)));
                    QVERIFY2(IsHighlight(g, CellColour(g, c, 1)), qPrintable(QString("AD cell %1").arg(c)));
                }
            } else {
                QCOMPARE(selection->selectedIndexes(), QModelIndexList{current});
                QVERIFY(IsHighlight(g, CellColour(g, current.column(), current.row())));
            }
        }
    }

    void onlyChangedCellsArePaintedAgain()
    {
        auto *g1 = form->StringGrid1;
        auto *g2 = form->StringGrid2;
        QSignalSpy changed1(g1->model(), &QAbstractItemModel::dataChanged);
        QSignalSpy changed2(g2->model(), &QAbstractItemModel::dataChanged);
        PaintWatch paints1(g1->viewport());
        PaintWatch paints2(g2->viewport());
        // Let the paints of showing and activating the window pass.
        for (int quiet = 0, round = 0; quiet < 2 && round < 40; ++round) {
            paints1.regions.clear();
            paints2.regions.clear();
            QTest::qWait(50);
            quiet = paints1.regions.isEmpty() && paints2.regions.isEmpty() ? quiet + 1 : 0;
        }

        form->ShowGridValues();  // the mirror as it was
        QTest::qWait(50);
        QCOMPARE(changed1.count(), 0);
        QCOMPARE(changed2.count(), 0);
        QVERIFY(paints1.regions.isEmpty());
        QVERIFY(paints2.regions.isEmpty());

        RegisterMirror[Reg::AD_Val0 + 3] = 999;
        RegisterMirror[Reg::DA_Gain0 + 1] = 55;
        form->ShowGridValues();
        QTest::qWait(50);
        QCOMPARE(changed1.count(), 1);
        QCOMPARE(changed2.count(), 1);
        QCOMPARE(CellText(g1, 4, 1), QString("999"));
        QCOMPARE(CellText(g2, 2, 2), QString("55"));
        QCOMPARE(paints1.regions, QList<QRegion>{QRegion(CellRect(g1, 4, 1))});
        QCOMPARE(paints2.regions, QList<QRegion>{QRegion(CellRect(g2, 2, 2))});
    }

    // The grids skip the style's row panel and the counter copies its frame from
    // a picture drawn once: what they paint must be what the plain style paints,
    // selected cell, focus and a changing count included.
    void paintingShortCutsLookTheSame()
    {
        RegisterMirror[Reg::AD_Val0] = 4095;
        RegisterMirror[Reg::DA_Gain0 + 2] = 123;
        form->ShowGridValues();
        form->StringGrid2->setFocus();
        QTRY_VERIFY(form->StringGrid2->hasFocus());
        const auto plainly = [](QWidget *w) {
            QStyle *own = w->style();
            std::unique_ptr<QStyle> plain(QStyleFactory::create(QApplication::style()->name()));
            w->setStyle(plain.get());
            const QImage image = w->grab().toImage();
            w->setStyle(own);
            return image;
        };
        for (QWidget *w : std::initializer_list<QWidget *>{form->StringGrid1, form->StringGrid2}) {
            QVERIFY(w->style() != QApplication::style());  // the short cut is in place
            QCOMPARE(w->grab().toImage(), plainly(w));
        }
        for (const char *count : {"0", "7", "12345"}) {
            form->Edit4->setText(count);
            QCOMPARE(form->Edit4->grab().toImage(), plainly(form->Edit4));
        }
    }

    // The counter draws a count from glyphs resolved once: it must paint exactly
    // what a plain line edit paints, and leave to it what the short cut cannot show.
    void counterPaintsAsALineEdit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("focused");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("quick");
        QTest::newRow("0") << "0" << false << true << true;
        QTest::newRow("7") << "7" << false << true << true;
        QTest::newRow("12345") << "12345" << false << true << true;
        QTest::newRow("01234") << "01234" << false << true << true;
        QTest::newRow("56789") << "56789" << false << true << true;
        QTest::newRow("the widest that fits") << "999999999" << false << true << true;
        QTest::newRow("one digit too wide") << "9999999999" << false << true << false;
        QTest::newRow("disabled") << "4095" << false << false << true;
        QTest::newRow("empty") << "" << false << true << false;
        QTest::newRow("not a number") << "12a" << false << true << false;
        QTest::newRow("wider than the field") << "123456789012345678" << false << true << false;
        QTest::newRow("focused, all selected") << "12345" << true << true << false;
    }
    void counterPaintsAsALineEdit()
    {
        QFETCH(QString, text);
        QFETCH(bool, focused);
        QFETCH(bool, enabled);
        QFETCH(bool, quick);
        auto *counter = dynamic_cast<TCountField *>(form->Edit4);
        QVERIFY(counter);
        QLineEdit plain(text, counter->parentWidget());
        plain.setReadOnly(true);
        plain.setAutoFillBackground(true);
        plain.setStyle(counter->style());
        plain.setGeometry(counter->geometry());
        plain.show();
        const auto look = [&](QLineEdit *field) {
            field->setText(text);
            field->setEnabled(enabled);
            if (focused) {
                field->setFocus();
                field->selectAll();
            }
            return field->grab().toImage();
        };
        const QImage expected = look(&plain);
        plain.hide();
        const QImage painted = look(counter);
        QCOMPARE(painted, expected);
        QCOMPARE(counter->PaintedQuickly(), quick);
        counter->setEnabled(true);
        counter->deselect();
        form->StringGrid2->setFocus();
    }

    // A gateway that answers the read but echoes no write: the handshake's two
    // writes then block the tick for their whole retries. The values read must
    // be on the screen before the first of them goes out.
    void valuesArePaintedBeforeTheHandshakeWrites()
    {
        constexpr uint16_t kAd0 = 1234;
        PtyPair pty(2);
        QVERIFY(pty.ok());
        ScriptedPeer gateway(pty.master(), [&](const std::vector<uint8_t> &request, int index) {
            std::vector<ScriptedPeer::Chunk> reply;
            if (index == 0 && request[1] == kFnReadHoldingRegisters)
                reply.push_back({0, PollReply({{Reg::AD_Val0, kAd0}, {Reg::CAN_Unlocked, 0}})});
            return reply;
        });
        struct Seen {
            QString text;
            size_t writesSent;
        };
        QList<Seen> seen;
        PaintWatch paints(form->StringGrid1->viewport(), [&] {
            seen.append({CellText(form->StringGrid1, 1, 1), WritesIn(gateway.requests())});
        });

        form->ComboBox6->SetItemIndex(kModeItemPlcCan);
        form->SpeedButton1->click();
        QVERIFY(form->SpeedButton1->isChecked());
        const auto shown = [&] {
            return std::find_if(seen.begin(), seen.end(),
                                [&](const Seen &s) { return s.text == QString::number(kAd0); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(shown() != seen.end(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(WritesIn(gateway.requests()) >= 2 * size_t(kWriteAttempts), 5000);
        QCOMPARE(shown()->writesSent, size_t(0));
        QCOMPARE(form->ExchangeCount, 1);
        form->SpeedButton1->click();
    }
};

QTEST_MAIN(TestGrids)
#include "tst_grids.moc"
