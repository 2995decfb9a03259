// One inbound channel message, as the host hands it over, to a redirector with players and a
// running tunnel.
#include "fuzzhost.h"

#include <QByteArray>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzHost& host = FuzzHost::instance();
    host.feed(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    host.settle();
    return 0;
}
