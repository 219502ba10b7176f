// The module configuration group: read-back from the mirror and the framed write.
#include "Main.h"

#include "Clock.h"
#include "MODBUS_RTU.h"
#include "RegisterMap.h"

#include <span>

namespace {
const QString kConfigDone = QStringLiteral("标定完毕 ！");
const QString kCommFailed = QStringLiteral("通信失败 ！");
const QString kPleaseSelect = QStringLiteral("请选择");
const QString kBang = QStringLiteral(" ！");

// Registers 20 (unlock slot) ... 27 (commit slot), read back after the commit.
constexpr int kCfgFirst = Reg::Cfg_Unlock;
constexpr int kCfgWords = Reg::Cfg_Commit - Reg::Cfg_Unlock + 1;
// The module takes the commit in its next pass; a gateway passes the result on a
// little later. Look a few times before calling it lost.
constexpr int kCommitChecks = 5;
constexpr uint32_t kCommitCheckPauseMs = 20;

// After a commit the module has cleared both code slots and holds the settings as
// written. A module that restarted inside the sequence has lost the unlock: its
// commit slot keeps the code, nothing is stored, although every write was echoed.
bool ConfigurationStored(std::span<const std::pair<int, int>> written)
{
    for (int check = 0; check < kCommitChecks; ++check) {
        if (check > 0)
            SleepMs(kCommitCheckPauseMs);
        uint16_t words[kCfgWords] = {};
        if (!ReadRegistersOnce(kCfgFirst, kCfgWords, words))
            continue;
        bool asWritten = words[Reg::Cfg_Unlock - kCfgFirst] == 0 && words[Reg::Cfg_Commit - kCfgFirst] == 0;
        for (const auto &[reg, value] : written)
            if (reg != Reg::Cfg_Unlock)
                asWritten = asWritten && words[reg - kCfgFirst] == static_cast<uint16_t>(value);
        if (asWritten)
            return true;
    }
    return false;
}
} // namespace

void TMainForm::ReadBackConfiguration()
{
    SpinEdit2->SetValue(RegisterMirror[Reg::Cfg_Station]);
    Baud_CAN->SetItemIndex(RegisterMirror[Reg::Cfg_BaudCAN]);
    Baud_485->SetItemIndex(RegisterMirror[Reg::Cfg_Baud485]);
    SpinEdit3->SetValue(RegisterMirror[Reg::Cfg_TxSuppress]);
    Filter_Val->SetItemIndex(RegisterMirror[Reg::Cfg_Filter]);
    Dat_485->SetItemIndex(RegisterMirror[Reg::Cfg_Dat485]);
}

void TMainForm::BitBtn2Click()
{
    // A list the read-back left empty (a module value outside its table) would
    // send -1; ask the user to choose instead, before anything goes out.
    const std::pair<TDropDownList *, QString> lists[] = {
        {Baud_CAN, QStringLiteral("CAN波特率")},
        {Baud_485, QStringLiteral("485波特率")},
        {Filter_Val, QStringLiteral("滤波等级")},
        {Dat_485, QStringLiteral("485格式")},
    };
    for (const auto &[list, name] : lists) {
        if (list->ItemIndex() < 0) {
            ShowMessage(this, kPleaseSelect + name + kBang, kCaptionApp);
            return;
        }
    }

    Timer1.stop();
    SleepMs(kPauseBeforeWriteMs);
    writeConfiguration();
    Timer1.start();
}

bool TMainForm::writeConfiguration()
{
    const std::pair<int, int> settings[] = {
        {Reg::Cfg_Unlock, kCfgUnlockCode},
        {Reg::Cfg_Station, SpinEdit2->Value()},
        {Reg::Cfg_BaudCAN, Baud_CAN->ItemIndex()},
        {Reg::Cfg_Baud485, Baud_485->ItemIndex()},
        {Reg::Cfg_TxSuppress, SpinEdit3->Value()},
        {Reg::Cfg_Filter, Filter_Val->ItemIndex()},
        {Reg::Cfg_Dat485, Dat_485->ItemIndex()},
    };
    // A failure before the commit ends the sequence silently: nothing is stored.
    for (const auto &[reg, value] : settings)
        if (!WriteRegister(reg, static_cast<uint16_t>(value)))
            return false;
    // Only a commit the module shows it has taken is reported as done; its echo
    // alone is not enough, and a lost echo does not mean it was not taken.
    WriteRegister(Reg::Cfg_Commit, kCfgCommitCode);
    const bool committed = ConfigurationStored(settings);
    ShowMessage(this, committed ? kConfigDone : kCommFailed, kCaptionApp);
    return committed;
}
