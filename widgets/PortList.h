#pragma once
// The port list of the main and the firmware window: "COM1" ... "COM8", each
// item's tool tip naming the device the name leads to and the adapter behind it
// (its /dev/serial/by-id name), or saying it is not present. The tips are
// looked up again each time the list opens, so a plug or unplug shows.
#include "widgets/Toolkit.h"

class TPortList : public TDropDownList {
    Q_OBJECT
public:
    TPortList(QWidget *parent, int itemIndex);

    // Sets every item's tool tip from what is plugged in now.
    void ShowPortTargets();
    // "/dev/ttyUSB0 (usb-FTDI_FT232R_USB_UART_A1B2-if00-port0)", "/dev/ttyS0",
    // or "/dev/ttyUSB1: not present", for port-list entry `index`.
    static QString PortTarget(int index);

    void showPopup() override;
};
