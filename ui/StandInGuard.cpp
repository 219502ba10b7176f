#include "ui/StandInGuard.h"

#include "firmware/UpdateEngine.h"
#include "widgets/Toolkit.h"

#include <QCoreApplication>

namespace {
// %1 is the port's number.
const char *const kStandIn = QT_TRANSLATE_NOOP("StandInGuard", "程序携带的固件映像只是替代映像，不是模块的固件 ！\r"
                                                               "写入后模块将不能工作。\r仍要将它写入 COM%1 吗？");
}  // namespace

bool ConfirmCarriedImage(QWidget *owner, const TQRTCommDriver &driver, int chosenIndex, bool imageIsStandIn)
{
    if (!imageIsStandIn)
        return true;
    const TComPortNumber port = driver.IsOpen() ? driver.ComPort() : ComPortOfIndex(chosenIndex);
    if (driver.PortDeviceKind(port) != DeviceKind::SerialDevice)
        return true;
    return AskQuestion(owner, QCoreApplication::translate("StandInGuard", kStandIn).arg(static_cast<int>(port) + 1),
                       kCaptionApp);
}
