// The module configuration group: read-back from the mirror and the framed write.
#include "Main.h"

#include "MODBUS_RTU.h"
#include "ModuleConfig.h"
#include "RegisterMap.h"

namespace {
const QString kConfigDone = QStringLiteral("标定完毕 ！");
const QString kCommFailed = QStringLiteral("通信失败 ！");
const QString kPleaseSelect = QStringLiteral("请选择");
const QString kBang = QStringLiteral(" ！");

} // namespace

void TMainForm::ReadBackConfiguration()
{
    const TModuleSettings s = DecodeModuleSettings(RegisterMirror);
    SpinEdit2->SetValue(s.Station);
    Baud_CAN->SetItemIndex(s.BaudCAN);
    Baud_485->SetItemIndex(s.Baud485);
    SpinEdit3->SetValue(s.TxSuppress);
    Filter_Val->SetItemIndex(s.Filter);
    Dat_485->SetItemIndex(s.Dat485);
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

    WriteWhilePollingPaused([this] { return writeConfiguration(); });
}

bool TMainForm::writeConfiguration()
{
    TModuleSettings s;
    s.Station = SpinEdit2->Value();
    s.BaudCAN = Baud_CAN->ItemIndex();
    s.Baud485 = Baud_485->ItemIndex();
    s.TxSuppress = SpinEdit3->Value();
    s.Filter = Filter_Val->ItemIndex();
    s.Dat485 = Dat_485->ItemIndex();
    const TConfigWriteResult result = WriteModuleConfiguration(s);
    // A failure before the commit ends the sequence silently: nothing is stored.
    if (!result.SettingsWritten)
        return false;
    // Only a commit the module shows it has taken is reported as done; its echo
    // alone is not enough, and a lost echo does not mean it was not taken.
    ShowMessage(this, result.Stored ? kConfigDone : kCommFailed, kCaptionApp);
    return result.Stored;
}
