// A run of inbound messages and host answers, so that create, destroy, clip and tunnel traffic
// interleave. The input is a list of records, each led by one byte:
//   0x00-0xfb  a message of that many bytes follows (cut short at the end of the input)
//   0xfc       a message follows whose length is the next two bytes, little-endian
//   0xfd       the host's event loop turns: the tunnel delivers what it queued
//   0xfe       the host answers the oldest open create request with a window
//   0xff       the previous message again
#include "fuzzhost.h"

#include <QByteArray>

#include <cstdint>

namespace {
enum Record : uint8_t { LongMessage = 0xfc, Pump = 0xfd, AnswerCreate = 0xfe, Repeat = 0xff };
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzHost& host = FuzzHost::instance();
    const auto* bytes = reinterpret_cast<const char*>(data);
    QByteArray previous;
    size_t pos = 0;
    while (pos < size) {
        const uint8_t lead = data[pos++];
        if (lead == Pump || lead == AnswerCreate || lead == Repeat) {
            lead == Pump                 ? host.pump()
                : lead == AnswerCreate ? host.answerCreate(false)
                                       : host.feed(previous);
            continue;
        }
        size_t length = lead;
        if (lead == LongMessage) {
            if (size - pos < 2)
                break;
            length = size_t(data[pos]) | size_t(data[pos + 1]) << 8;
            pos += 2;
        }
        length = qMin(length, size - pos);
        previous = QByteArray::fromRawData(bytes + pos, int(length));
        pos += length;
        host.feed(previous);
    }
    host.settle();
    return 0;
}
