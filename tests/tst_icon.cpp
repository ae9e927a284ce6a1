#include <QFile>
#include <QIcon>
#include <QResource>
#include <QTest>
#include <QtEndian>

// Reads the ICO container by hand: the directory, then the start of each image.
class tst_Icon : public QObject
{
    Q_OBJECT

private slots:
    void resourceIsCompiledInUncompressed();
    void icoHoldsSixThirtyTwoBitImages();
    void iconLoadsAtEverySize();
};

void tst_Icon::resourceIsCompiledInUncompressed()
{
    QResource resource(":/icons/icon.ico");
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    QFile source(ICON_FILE);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(resource.uncompressedData(), source.readAll());
}

void tst_Icon::icoHoldsSixThirtyTwoBitImages()
{
    QFile file(ICON_FILE);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray ico = file.readAll();
    const auto *bytes = reinterpret_cast<const uchar *>(ico.constData());
    QVERIFY(ico.size() > 6);

    QCOMPARE(qFromLittleEndian<quint16>(bytes + 0), quint16(0)); // reserved
    QCOMPARE(qFromLittleEndian<quint16>(bytes + 2), quint16(1)); // 1 = icon, 2 = cursor
    QCOMPARE(qFromLittleEndian<quint16>(bytes + 4), quint16(6));
    QVERIFY(ico.size() >= 6 + 6 * 16);

    const int expectedSizes[] = { 256, 128, 64, 48, 32, 16 };
    for (int i = 0; i < 6; ++i) {
        const uchar *entry = bytes + 6 + 16 * i;
        const int size = expectedSizes[i];
        QCOMPARE(int(entry[0]), size % 256); // 0 stands for 256
        QCOMPARE(int(entry[1]), size % 256);
        QCOMPARE(qFromLittleEndian<quint16>(entry + 6), quint16(32));
        const quint32 length = qFromLittleEndian<quint32>(entry + 8);
        const quint32 offset = qFromLittleEndian<quint32>(entry + 12);
        QVERIFY(offset + length <= quint32(ico.size()));

        const QByteArray image = ico.mid(offset, length);
        if (size == 256) {
            QVERIFY2(image.startsWith("\x89PNG\r\n\x1a\n"), "256 px image is not PNG");
            continue;
        }
        const auto *header = reinterpret_cast<const uchar *>(image.constData());
        QCOMPARE(qFromLittleEndian<quint32>(header + 0), quint32(40)); // BITMAPINFOHEADER
        QCOMPARE(qFromLittleEndian<qint32>(header + 4), size);
        QCOMPARE(qFromLittleEndian<qint32>(header + 8), 2 * size); // colour and mask halves
        QCOMPARE(qFromLittleEndian<quint16>(header + 14), quint16(32));
        QCOMPARE(qFromLittleEndian<quint32>(header + 16), quint32(0)); // BI_RGB: uncompressed
    }
}

void tst_Icon::iconLoadsAtEverySize()
{
    const QIcon icon(":/icons/icon.ico");
    QVERIFY(!icon.isNull());
    for (int size : { 16, 32, 48, 64, 128, 256 })
        QCOMPARE(icon.pixmap(size).size(), QSize(size, size));
}

QTEST_MAIN(tst_Icon)
#include "tst_icon.moc"
