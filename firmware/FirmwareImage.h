#pragma once
// The firmware image the tool carries, its loaders, and the layout of the buffer
// an update works in (each update owns one: firmware/IspMemory.h).
#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// Positions in IspBuffer count from 1, as the update procedure names them;
// element 0 is never used, so IspBuffer[p] is position p.
inline constexpr size_t kIspBufferLast = 1048841;
// First and last position of the command/reply area.
inline constexpr size_t kIspCommandFirst = 1;
inline constexpr size_t kIspCommandLast = 264;
// Position of image byte 0; the image area runs from here to kIspBufferLast.
inline constexpr size_t kIspImageFirst = 265;
// Bytes in the image area: one more than 1 MiB.
inline constexpr size_t kIspImageAreaBytes = kIspBufferLast - kIspImageFirst + 1;
// The two areas follow each other without a gap and fill the buffer.
static_assert(kIspCommandLast - kIspCommandFirst + 1 == 264);
static_assert(kIspImageFirst == kIspCommandLast + 1);
static_assert(kIspImageAreaBytes == 1048577);
static_assert(kIspImageFirst + kIspImageAreaBytes - 1 == kIspBufferLast);

// An image must hold at least one byte.
inline constexpr qint64 kFirmwareImageMinBytes = 1;
// 254 * 1024 + 1023: the erase request carries the page count minus one in a byte
// that must stay below 0xFF (which asks for a global erase).
inline constexpr qint64 kFirmwareImageMaxBytes = 261119;

// The one fixed name the carried image is found under.
inline constexpr char kFirmwareResource[] = ":/firmware/image.bin";

using TIspBuffer = std::array<uint8_t, kIspBufferLast + 1>;
static_assert(std::tuple_size_v<TIspBuffer> - 1 == 1048841);

// True for a size the update can erase and write.
bool FirmwareImageSizeAcceptable(qint64 size);

// The loaders return the image they loaded, or nothing when the resource cannot
// be read or its size is refused. They keep nothing themselves: the update that
// asked puts the bytes into its own buffer (TIspMemory). They show nothing to the user.

// The carried image.
std::optional<QByteArray> LoadFirmwareImage();

// The same from another file or resource path, for tests.
std::optional<QByteArray> LoadFirmwareImageFrom(const QString &path);

// The same from bytes already read (an image file the command line has decoded).
std::optional<QByteArray> LoadFirmwareImageBytes(const QByteArray &bytes);

// Whether the carried image is the stand-in (see firmware/README.md), not the
// module's firmware: writing it into a real module would replace working
// firmware. Fixed when the tool is built.
bool CarriedFirmwareIsStandIn();

// Whether the carried image exists and has an acceptable size, so the window can
// refuse before a run starts. `size` receives its size (-1 when unreadable).
bool CarriedFirmwareImageAcceptable(qint64 *size = nullptr);
