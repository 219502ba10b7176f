// The module configuration group: read-back from the mirror and the framed write.
#include "ui/Main.h"

#include "modbus/MODBUS_RTU.h"
#include "modbus/ModuleConfig.h"
#include "modbus/RegisterMap.h"

namespace {
const char *const kConfigDone = QT_TRANSLATE_NOOP("TMainForm", "标定完毕 ！");
const char *const kCommFailed = QT_TRANSLATE_NOOP("TMainForm", "通信失败 ！");
// %1 is the list's label.
const char *const kPleaseSelect = QT_TRANSLATE_NOOP("TMainForm", "请选择%1 ！");

}  // namespace

const std::array<TMainForm::TSettingControl, kModuleSettingCount> TMainForm::kSettingControls = {{
    {"SpinEdit2", QT_TRANSLATE_NOOP("TMainForm", "模块站号"), nullptr, ToolDefault::Station, &TMainForm::SpinEdit2,
     nullptr},
    {"Baud_CAN", QT_TRANSLATE_NOOP("TMainForm", "CAN波特率"), nullptr, ToolDefault::BaudCAN, nullptr,
     &TMainForm::Baud_CAN},
    {"Baud_485", QT_TRANSLATE_NOOP("TMainForm", "485波特率"), nullptr, ToolDefault::Baud485, nullptr,
     &TMainForm::Baud_485},
    {"SpinEdit3", QT_TRANSLATE_NOOP("TMainForm", "发送抑制"), QT_TRANSLATE_NOOP("TMainForm", "单位:ms"),
     ToolDefault::TxSuppress, &TMainForm::SpinEdit3, nullptr},
    {"Filter_Val", QT_TRANSLATE_NOOP("TMainForm", "滤波等级"), nullptr, ToolDefault::Filter, nullptr,
     &TMainForm::Filter_Val},
    {"Dat_485", QT_TRANSLATE_NOOP("TMainForm", "485格式"), nullptr, ToolDefault::Dat485, nullptr, &TMainForm::Dat_485},
}};

TModuleSettings TMainForm::EnteredSettings() const
{
    TModuleSettings s;
    for (size_t i = 0; i < kSettingControls.size(); ++i) {
        const TSettingControl &c = kSettingControls[i];
        s.*kModuleSettings[i].Member = c.Number ? (this->*c.Number)->Value() : (this->*c.List)->ItemIndex();
    }
    return s;
}

void TMainForm::EnterSettings(const TModuleSettings &s)
{
    for (size_t i = 0; i < kSettingControls.size(); ++i) {
        const TSettingControl &c = kSettingControls[i];
        const int value = s.*kModuleSettings[i].Member;
        if (c.Number)
            (this->*c.Number)->SetValue(value);
        else
            (this->*c.List)->SetItemIndex(value);
    }
}

void TMainForm::ReadBackConfiguration()
{
    EnterSettings(DecodeModuleSettings(RegisterMirror));
}

void TMainForm::BitBtn2Click()
{
    // A list the read-back left empty (a module value outside its table) would
    // send -1; ask the user to choose instead, before anything goes out.
    const std::vector<const TSettingRow *> incomplete = IncompleteSettings(EnteredSettings());
    if (!incomplete.empty()) {
        const TSettingControl &c = kSettingControls[static_cast<size_t>(incomplete.front() - kModuleSettings.data())];
        ShowMessage(this, tr(kPleaseSelect).arg(tr(c.Label)), kCaptionApp);
        return;
    }

    WriteWhilePollingPaused([this] { return writeConfiguration(); });
}

bool TMainForm::writeConfiguration()
{
    const TConfigWriteResult result = WriteModuleConfiguration(EnteredSettings());
    // A failure before the commit ends the sequence silently: nothing is stored.
    if (!result.SettingsWritten)
        return false;
    // Only a commit the module shows it has taken is reported as done; its echo
    // alone is not enough, and a lost echo does not mean it was not taken.
    ShowMessage(this, tr(result.Stored ? kConfigDone : kCommFailed), kCaptionApp);
    return result.Stored;
}
