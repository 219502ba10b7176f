#include "serial/LineFormat.h"

bool OpenWithLine(TQRTCommDriver &driver, const LineFormat &line)
{
    driver.SetComPortSpeed(line.speed);
    driver.SetComPortDataBits(line.dataBits);
    driver.SetComPortParity(line.parity);
    driver.SetComPortStopBits(line.stopBits);
    driver.RxCount = 0;
    return driver.Open();
}
