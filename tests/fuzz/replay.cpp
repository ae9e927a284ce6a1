// Runs a fuzz target over saved inputs without libFuzzer, so the interesting
// cases it found stay regression tests in every build.
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

int main(int argc, char *argv[])
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir corpus(QString::fromLocal8Bit(argv[i]));
        if (!corpus.exists()) {
            fprintf(stderr, "replay: no corpus folder %s\n", argv[i]);
            return 2;
        }
        for (const QString &name : corpus.entryList(QDir::Files, QDir::Name)) {
            QFile file(corpus.filePath(name));
            if (!file.open(QIODevice::ReadOnly)) {
                fprintf(stderr, "replay: cannot read %s\n", qPrintable(file.fileName()));
                return 2;
            }
            const QByteArray bytes = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()),
                                   size_t(bytes.size()));
            ++replayed;
        }
    }
    printf("%d passed, 0 failed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
