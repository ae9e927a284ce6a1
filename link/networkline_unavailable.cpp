// The network line where Qt was built without its Network module (the lean
// Qt of the Windows build): every address is refused with a clear reason.
#include "networkline.h"

namespace Link {

NetworkLine::NetworkLine(QObject *parent)
    : QIODevice(parent)
    , socket(nullptr)
{ }

NetworkLine::~NetworkLine() = default;

bool NetworkLine::connectTo(const QString &)
{
    setErrorString(tr("this build has no network support"));
    return false;
}

bool NetworkLine::refusedAsInUse() const
{
    return false;
}

qint64 NetworkLine::bytesAvailable() const
{
    return 0;
}

qint64 NetworkLine::bytesToWrite() const
{
    return 0;
}

void NetworkLine::close()
{
    QIODevice::close();
}

qint64 NetworkLine::readData(char *, qint64)
{
    return -1;
}

qint64 NetworkLine::writeData(const char *, qint64)
{
    return -1;
}

} // namespace Link
