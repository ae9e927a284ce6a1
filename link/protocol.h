#ifndef PROTOCOL_H
#define PROTOCOL_H

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <optional>

// The controller's byte protocol: every request is a frame FF <letter> <payload> FE,
// and every reply is a bare 32-byte value block.
namespace Link {

// Eight single-precision numbers in slot order C0, B0, C1, B1, C2, B2, C3, B3.
using ValueBlock = std::array<float, 8>;
constexpr qsizetype ValueBlockSize = 32;
constexpr int ChannelCount = 4;
constexpr int SlotCount = 2 * ChannelCount; // a C and a B quantity per channel

constexpr char FrameStart = char(0xFF);
constexpr char FrameEnd = char(0xFE);

namespace Command {
constexpr char ReadVoltages = 'D';
constexpr char ReadCurrents = 'R';
constexpr char SetPoint = 'S';
constexpr char WriteEeprom = 'W';
constexpr char ReadCoefficients = 'G';
constexpr char WriteCoefficients = 'C';
} // namespace Command

// A channel's C quantity (Vc, Ic, IC) sits in slot 2n, its B quantity in 2n + 1.
constexpr int cSlot(int channel)
{
    return 2 * channel;
}
constexpr int bSlot(int channel)
{
    return 2 * channel + 1;
}

QByteArray buildFrame(char command, QByteArrayView payload = {});
QByteArray setPointFrame(int setPointIndex, double value);
// The eight coefficients as the reader returns them: single precision, exact to the bit.
QByteArray coefficientFrame(const ValueBlock &values);

// Exactly 32 bytes decode; any other length is not a value block.
std::optional<ValueBlock> decodeValueBlock(QByteArrayView bytes);

} // namespace Link

#endif // PROTOCOL_H
