#include "protocol.h"

#include <QtEndian>

namespace Link {

QByteArray buildFrame(char command, QByteArrayView payload)
{
    QByteArray frame;
    frame.reserve(payload.size() + 3);
    frame.append(FrameStart);
    frame.append(command);
    frame.append(payload); // sent as is: payload bytes FF and FE are not escaped
    frame.append(FrameEnd);
    return frame;
}

QByteArray setPointFrame(int setPointIndex, double value)
{
    char payload[5];
    payload[0] = char(setPointIndex);
    qToLittleEndian(float(value), payload + 1);
    return buildFrame(Command::SetPoint, QByteArrayView(payload, sizeof payload));
}

QByteArray coefficientFrame(const ValueBlock &values)
{
    char block[ValueBlockSize];
    for (int slot = 0; slot < SlotCount; ++slot)
        qToLittleEndian(values[slot], block + 4 * slot);
    return buildFrame(Command::WriteCoefficients, QByteArrayView(block, sizeof block));
}

std::optional<ValueBlock> decodeValueBlock(QByteArrayView bytes)
{
    if (bytes.size() != ValueBlockSize)
        return std::nullopt;
    ValueBlock values;
    for (int slot = 0; slot < SlotCount; ++slot)
        values[slot] = qFromLittleEndian<float>(bytes.data() + 4 * slot);
    return values;
}

} // namespace Link
