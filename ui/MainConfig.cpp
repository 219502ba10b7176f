// The module configuration group: read-back from the mirror and the framed write.
#include "ui/Main.h"

#include "modbus/MODBUS_RTU.h"
#include "modbus/ModuleConfig.h"
#include "modbus/RegisterMap.h"

namespace {
const QString kConfigDone = QStringLiteral("标定完毕 ！");
const QString kCommFailed = QStringLiteral("通信失败 ！");
const QString kPleaseSelect = QStringLiteral("请选择");
const QString kBang = QStringLiteral(" ！");

}  // namespace

const std::array<TMainForm::TSettingControl, kModuleSettingCount> TMainForm::kSettingControls = {{
    {"SpinEdit2", "模块站号", nullptr, ToolDefault::Station, &TMainForm::SpinEdit2, nullptr},
    {"Baud_CAN", "CAN波特率", nullptr, ToolDefault::BaudCAN, nullptr, &TMainForm::Baud_CAN},
    {"Baud_485", "485波特率", nullptr, ToolDefault::Baud485, nullptr, &TMainForm::Baud_485},
    {"SpinEdit3", "发送抑制", "单位:ms", ToolDefault::TxSuppress, &TMainForm::SpinEdit3, nullptr},
    {"Filter_Val", "滤波等级", nullptr, ToolDefault::Filter, nullptr, &TMainForm::Filter_Val},
    {"Dat_485", "485格式", nullptr, ToolDefault::Dat485, nullptr, &TMainForm::Dat_485},
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
        ShowMessage(this, kPleaseSelect + QString::fromUtf8(c.Label) + kBang, kCaptionApp);
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
    ShowMessage(this, result.Stored ? kConfigDone : kCommFailed, kCaptionApp);
    return result.Stored;
}
