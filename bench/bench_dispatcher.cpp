// Dispatcher rate per CPU second against its limit, the bare JSON cost of the same messages:
// QJsonDocument::fromJson and the reads of the fields the dispatcher reads, nothing else. With
// debug lines off and on (on: formatted and written to stderr, which scripts/bench sends to
// /dev/null), and with 1, 10 and 100 players, the messages going to every player in turn.
//
//   h5bench_dispatcher [--rounds N] [--round-ms MS]
//
// Each round measures the library (A) and the bare parse (B) once, A B A B ..., after a warm-up
// round; the figure is the median of the per-round ratios A/B with their min and max. Run it
// without QT_LOGGING_RULES in the environment: it sets the rules itself.
#include "benchhost.h"
#include "benchsupport.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QQuickWindow>
#include <QtEndian>

#include <memory>
#include <vector>

namespace {

using Messages = std::vector<QByteArray>;
using Handler = std::function<void(const QByteArray&)>;

int readInt(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toInt(0);
}

// What any reader of these messages must do at least: parse, and read the fields.
void bareEnvelope(const QJsonObject& object)
{
    volatile int sink = readInt(object, "commandId") + readInt(object, "id");
    Q_UNUSED(sink)
}

void barePosition(const QByteArray& msg)
{
    const QJsonObject object = QJsonDocument::fromJson(msg).object();
    bareEnvelope(object);
    volatile int sink = readInt(object, "left") + readInt(object, "top")
        + readInt(object, "width") + readInt(object, "height");
    Q_UNUSED(sink)
}

void bareClip(const QByteArray& msg)
{
    const QJsonObject object = QJsonDocument::fromJson(msg).object();
    bareEnvelope(object);
    const QJsonArray rects = object.value(QLatin1String("data")).toArray();
    int sum = 0;
    for (const QJsonValue& value : rects) {
        const QJsonObject rect = value.toObject();
        sum += readInt(rect, "left") + readInt(rect, "top") + readInt(rect, "width")
            + readInt(rect, "height");
    }
    volatile int sink = sum;
    Q_UNUSED(sink)
}

void bareTitle(const QByteArray& msg)
{
    const QJsonObject object = QJsonDocument::fromJson(msg).object();
    bareEnvelope(object);
    volatile int sink = object.value(QLatin1String("data")).toString().size();
    Q_UNUSED(sink)
}

// A frame is not JSON: the parse fails at once, then the header is read and the payload copied.
void bareFrame(const QByteArray& msg)
{
    volatile bool sink = QJsonDocument::fromJson(msg).isObject();
    const qint32 dataLen = qFromLittleEndian<qint32>(msg.constData() + 8);
    const QByteArray payload(msg.constData() + 12, dataLen);
    sink = payload.isEmpty();
    Q_UNUSED(sink)
}

QByteArray position(int tabid)
{
    return R"({"commandId":22,"id":)" + QByteArray::number(tabid)
        + R"(,"left":100,"top":50,"width":640,"height":360})";
}

QByteArray clip(int tabid)
{
    return R"({"commandId":24,"id":)" + QByteArray::number(tabid)
        + R"(,"data":[{"left":60,"top":20,"width":120,"height":90},)"
          R"({"left":600,"top":300,"width":200,"height":200},)"
          R"({"left":300,"top":380,"width":80,"height":60}]})";
}

QByteArray title(int tabid)
{
    return R"({"commandId":4,"id":)" + QByteArray::number(tabid)
        + R"(,"data":"Lesson 1: the first steps"})";
}

QByteArray inboundFrame(int tabid)
{
    QByteArray frame(12 + 1024, 'x');
    qToLittleEndian<qint32>(35, frame.data());
    qToLittleEndian<qint32>(tabid, frame.data() + 4); // any proxy id will do
    qToLittleEndian<qint32>(1024, frame.data() + 8);
    return frame;
}

// Messages per CPU second of this thread, running `handle` over the messages in turn for
// about `ms` milliseconds of CPU time.
double rate(const Messages& messages, const Handler& handle, int ms)
{
    constexpr int batch = 200;
    qint64 count = 0;
    const qint64 start = Bench::threadCpuNs();
    qint64 used = 0;
    size_t next = 0;
    do {
        for (int i = 0; i < batch; ++i) {
            handle(messages[next]);
            next = (next + 1) % messages.size();
        }
        count += batch;
        used = Bench::threadCpuNs() - start;
    } while (used < qint64(ms) * 1000000);
    return count * 1e9 / used;
}

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    Bench::useStandIns();
    QGuiApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(
        app, { { QStringLiteral("rounds"), 5 }, { QStringLiteral("round-ms"), 60 } });
    const int rounds = options.value(QStringLiteral("rounds")).toInt();
    const int roundMs = options.value(QStringLiteral("round-ms")).toInt();

    const struct
    {
        const char* name;
        QByteArray (*message)(int tabid);
        void (*bare)(const QByteArray&);
    } kinds[] = {
        { "position update", position, barePosition },
        { "clip, three rectangles", clip, bareClip },
        { "title", title, bareTitle },
        { "1 KiB inbound frame", inboundFrame, bareFrame },
    };

    for (const bool debug : { false, true }) {
        QLoggingCategory::setFilterRules(
            debug ? QStringLiteral("default.debug=true") : QStringLiteral("default.debug=false"));
        for (const int players : { 1, 10, 100 }) {
            // A host with this many players, each with its own hidden player window.
            std::vector<std::unique_ptr<QQuickWindow>> windows; // outlive the redirector
            BenchHost host;
            qint64 delivered = 0;
            QObject::connect(&host.redir, &H5redir::h5playerWindowPos, &app, [&] { ++delivered; });
            QObject::connect(&host.redir, &H5redir::h5UpdateTitle, &app, [&] { ++delivered; });
            QObject::connect(
                &host.redir, &H5redir::signalWriteDataToSocket, &app, [&] { ++delivered; });
            for (int tabid = 1; tabid <= players; ++tabid) {
                host.send(BenchHost::createRequest(tabid));
                windows.push_back(std::make_unique<QQuickWindow>());
                windows.back()->setGeometry(100, 50, 640, 360);
                // Stored directly: a creation result would start the memory monitor, whose
                // commands would run beside the measurement.
                host.redir.SaveWindowInBRData(tabid, windows.back().get());
            }
            // The library only reads the buffer it is given.
            const Handler library = [&host](const QByteArray& msg) {
                host.redir.parseSpiceData(const_cast<char*>(msg.constData()), uint(msg.size()));
            };

            for (const auto& kind : kinds) {
                Messages messages;
                for (int tabid = 1; tabid <= players; ++tabid)
                    messages.push_back(kind.message(tabid));
                const Handler bare = kind.bare;
                QList<double> ratios;
                QList<double> rates;
                QList<double> limits;
                for (int round = -1; round < rounds; ++round) { // round -1 warms up
                    const double a = rate(messages, library, roundMs);
                    const double b = rate(messages, bare, roundMs);
                    if (round < 0)
                        continue;
                    rates.append(a);
                    limits.append(b);
                    ratios.append(a / b);
                }
                const QByteArray name = QByteArray(kind.name) + ", debug "
                    + (debug ? "on" : "off") + ", " + QByteArray::number(players)
                    + (players == 1 ? " player" : " players");
                Bench::printFigure("dispatcher", name, Bench::median(rates), "msg/CPU-s");
                Bench::printFigure(
                    "dispatcher", name + ", bare JSON", Bench::median(limits), "msg/CPU-s");
                Bench::printSpread("dispatcher", name + ", library/bare JSON", ratios);
            }
            if (delivered == 0)
                return 1;
        }
    }
    return 0;
}
