// Raw line bytes as the tests write them, and a table column can carry them.
#pragma once

#include <QMetaType>

#include <cstdint>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;
Q_DECLARE_METATYPE(Bytes)

// The parts one after the other, as they go out on the line.
inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
