// The channel grids: cells drawn from the register mirror, and the way into the write dialog.
#include "Main.h"

#include "MODBUS_RTU.h"
#include "MonitorD.h"
#include "RegisterMap.h"

namespace {
const QString kNotConnected = QStringLiteral("连接未成功 ！");
} // namespace

void TMainForm::StringGrid1DrawCell(int col, int row, const QRect &rect, TGridDrawState, TCanvas &canvas)
{
    if (row != 1 || col < 1 || col > Reg::AD_Count)
        return;
    canvas.Font.setBold(true);
    canvas.FontColor = Qt::white;
    canvas.TextOut(rect.left() + TStringGrid::kTextInset, rect.top() + TStringGrid::kTextInset,
                   QString::number(RegisterMirror[Reg::AD_Val0 + col - 1]));
}

void TMainForm::StringGrid2DrawCell(int col, int row, const QRect &rect, TGridDrawState, TCanvas &canvas)
{
    if (col < 1 || col > Reg::DA_Count || (row != 1 && row != 2))
        return;
    const int reg = (row == 1 ? Reg::DA_Val0 : Reg::DA_Gain0) + col - 1;
    canvas.Font.setBold(false);
    canvas.TextOut(rect.left() + TStringGrid::kTextInset, rect.top() + TStringGrid::kTextInset,
                   QString::number(RegisterMirror[reg]));
}

void TMainForm::StringGrid2SelectCell(int col, int row, bool &canSelect)
{
    if (row == 1)
        SelectedRegister = col + Reg::DA_Val0 - 1;
    else if (row == 2)
        SelectedRegister = col + Reg::DA_Gain0 - 1;
    canSelect = true;
}

void TMainForm::StringGrid2DblClick()
{
    // A double click on a fixed cell selects nothing and acts on the cell last selected.
    if (SelectedRegister < kDialogFirstRegister || SelectedRegister > kDialogLastRegister)
        return;
    if (!LinkOk) {
        ShowMessage(this, kNotConnected, kCaptionApp);
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
