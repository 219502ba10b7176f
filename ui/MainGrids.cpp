// The channel grids: cell texts from the register mirror, their format, and the way into the write dialog.
#include "ui/Main.h"

#include "modbus/MODBUS_RTU.h"
#include "modbus/RegisterMap.h"
#include "ui/MonitorD.h"

namespace {
const char *const kNotConnected = QT_TRANSLATE_NOOP("TMainForm", "连接未成功 ！");
constexpr int kNoRegister = -1;

// The mirror word a data cell of the input grid shows.
int InputRegister(int col, int row)
{
    return row == 1 && col >= 1 && col <= Reg::AD_Count ? Reg::AD_Val0 + col - 1 : kNoRegister;
}

// The mirror word a data cell of the output grid shows: set values in row 1, gains in row 2.
int OutputRegister(int col, int row)
{
    if (col < 1 || col > Reg::DA_Count)
        return kNoRegister;
    if (row == 1)
        return Reg::DA_Val0 + col - 1;
    if (row == 2)
        return Reg::DA_Gain0 + col - 1;
    return kNoRegister;
}

QString RegisterText(int reg)
{
    return QString::number(RegisterMirror[reg]);
}

void ShowValues(TGridView *grid, int (*registerOf)(int col, int row))
{
    for (int row = 1; row < grid->RowCount(); ++row)
        for (int col = 1; col < grid->ColCount(); ++col)
            if (const int reg = registerOf(col, row); reg != kNoRegister)
                grid->SetCells(col, row, RegisterText(reg));
}
}  // namespace

void TMainForm::ShowGridValues()
{
    ShowValues(StringGrid1, InputRegister);
    ShowValues(StringGrid2, OutputRegister);
}

// The values read are bold and white, over the selection colour of their row too.
void TMainForm::StringGrid1DrawCell(int col, int row, TGridDrawState, TCellFormat &format)
{
    if (InputRegister(col, row) == kNoRegister)
        return;
    format.bold = true;
    format.color = Qt::white;
}

// The values set are painted in the grid's own format: regular, in the text colour.
void TMainForm::StringGrid2DrawCell(int col, int row, TGridDrawState, TCellFormat &format)
{
    if (OutputRegister(col, row) == kNoRegister)
        return;
    format.bold = false;
}

void TMainForm::StringGrid2SelectCell(int col, int row, bool &canSelect)
{
    if (const int reg = OutputRegister(col, row); reg != kNoRegister)
        SelectedRegister = reg;
    canSelect = true;
}

void TMainForm::StringGrid2DblClick()
{
    // A double click on a fixed cell selects nothing and acts on the cell last selected.
    if (SelectedRegister < kDialogFirstRegister || SelectedRegister > kDialogLastRegister)
        return;
    if (!LinkOk) {
        ShowMessage(this, tr(kNotConnected), kCaptionApp);
        return;
    }
    if (!MonitorDf)
        return;
    MonitorDf->Edit2->setText(QString::number(SelectedRegister));
    MonitorDf->Edit1->setText(QString::number(RegisterMirror[SelectedRegister]));
    MonitorDf->SetRegisterWriter([this](int32_t reg, uint16_t value) {
        return WriteWhilePollingPaused([=] { return WriteRegister(reg, value); });
    });
    MonitorDf->exec();
}
