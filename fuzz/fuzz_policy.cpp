// A proxy policy as the host hands it over, to a redirector whose tunnel already runs.
#include "fuzzhost.h"

#include <h5redir/h5redir.h>

#include <QByteArray>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzHost& host = FuzzHost::instance();
    host.redir().onProxyPolicy(QByteArray(reinterpret_cast<const char*>(data), int(size)));
    host.pump();
    return 0;
}
