#pragma once
// What a window says when its port cannot be opened, with caption kCaptionPortError.
#include <QString>

inline const QString kPortOpenFailedText = QStringLiteral(
    "当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
