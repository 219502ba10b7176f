#pragma once
// The stable names udev gives serial adapters under /dev/serial/by-id: a line
// records the adapter by them, since ttyUSB numbers change with the plugging order.
#include <QList>
#include <QString>

#include <string>

// Where the names are; TALVEX_SERIAL_BY_ID replaces it (for tests).
inline constexpr char kByIdDirEnv[] = "TALVEX_SERIAL_BY_ID";
inline constexpr char kByIdDir[] = "/dev/serial/by-id";

struct ByIdLink {
    QString path;    // /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3S5Y-if00-port0
    QString name;    // the link's own name, which carries the adapter's maker, model and serial
    QString target;  // the device it points at, resolved: /dev/ttyUSB0
};

QString ByIdDir();
// Every link, sorted by name.
QList<ByIdLink> ByIdLinks();
// The by-id path that leads to `device`, or an empty string.
QString ByIdPathOf(const std::string &device);
// "usb-FTDI_FT232R_USB_UART_A10K3S5Y-if00-port0" -> "FTDI FT232R USB UART A10K3S5Y":
// the maker, model and serial number udev put into a link's name.
QString AdapterName(const QString &linkName);
