// Arbitrary bytes into the simulated controller's frame reader: every frame it
// hands out must be a whole, well-formed request, and what it keeps back must
// be the beginning of one.
#include "simcontroller.h"

#include <cstdint>
#include <cstdlib>

namespace {

// The lengths as the wire format gives them, written out again on purpose:
// the fuzzer checks the reader against them, not against its own table.
int lengthOf(char letter)
{
    switch (letter) {
    case 'D':
    case 'R':
    case 'W':
    case 'G':
        return 3;
    case 'S':
        return 8;
    case 'C':
        return 35;
    default:
        return 0;
    }
}

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
#ifdef TORVAN_FUZZ_PLANTED_CRASH
    require(size == 0); // on purpose: the first input that starts a frame fails the run
#endif
    QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    qsizetype taken = 0;
    while (const std::optional<QByteArray> frame = SimController::takeFrame(input)) {
        require(frame->size() >= 3);
        require(uchar(frame->front()) == 0xFF && uchar(frame->back()) == 0xFE);
        require(lengthOf(frame->at(1)) == frame->size());
        taken += frame->size();
        require(taken <= qsizetype(size));
    }
    // Left over: nothing, or the start of a frame still waiting for its bytes.
    if (!input.isEmpty()) {
        require(uchar(input.front()) == 0xFF);
        require(input.size() == 1 || (lengthOf(input.at(1)) > input.size()));
    }
    return 0;
}
