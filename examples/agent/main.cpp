// h5redir-agent: the server side of the h5redir channel, for trying a host by hand and for the
// end-to-end tests. It is a SPICE server on loopback with one named port, plays a scenario file
// to the host that opens the port, prints every message both ways, and serves the library's
// tunnel through an upstream proxy.
//
//   h5redir-agent --scenario video.jsonl [--port 0] [--port-name NAME] [--upstream 127.0.0.1:8888]
//                 [--hold]
//
// Exit status: 0 when every expectation of the scenario was met, 1 when one was not, 2 on bad
// arguments.

#include "agent.h"
#include "upstreamrelay.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Server-side agent simulator for h5redir hosts"));
    parser.addHelpOption();
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
        QStringLiteral("Scenario file (JSON lines)."), QStringLiteral("file"));
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Loopback port to listen on; 0 picks a free one."), QStringLiteral("port"),
        QStringLiteral("0"));
    const QCommandLineOption portNameOption(QStringLiteral("port-name"),
        QStringLiteral("The name of the SPICE port that carries h5redir."), QStringLiteral("name"),
        QStringLiteral("org.h5redir.channel.0"));
    const QCommandLineOption upstreamOption(QStringLiteral("upstream"),
        QStringLiteral("Where tunnelled connections go (an HTTP proxy)."),
        QStringLiteral("host:port"));
    const QCommandLineOption holdOption(
        QStringLiteral("hold"), QStringLiteral("Keep serving after the scenario passed."));
    parser.addOptions({ scenarioOption, portOption, portNameOption, upstreamOption, holdOption });
    parser.process(app);

    Scenario scenario;
    QString error;
    if (!parser.isSet(scenarioOption) || !scenario.load(parser.value(scenarioOption), error)) {
        std::fprintf(stderr, "h5redir-agent: %s\n",
            qUtf8Printable(error.isEmpty() ? QStringLiteral("--scenario is required") : error));
        return 2;
    }
    const QString upstream = parser.value(upstreamOption);
    const int colon = upstream.lastIndexOf(QLatin1Char(':'));
    UpstreamRelay relay(upstream.left(colon), quint16(upstream.mid(colon + 1).toUInt()));

    Agent agent(scenario, parser.value(portNameOption).toUtf8(), &relay, parser.isSet(holdOption));
    if (!agent.listen(quint16(parser.value(portOption).toUInt()))) {
        std::fprintf(stderr, "h5redir-agent: cannot listen on port %s\n",
            qUtf8Printable(parser.value(portOption)));
        return 2;
    }
    std::printf("agent: SPICE server listening on 127.0.0.1:%u, port \"%s\"\n", agent.port(),
        qUtf8Printable(parser.value(portNameOption)));
    std::fflush(stdout);
    QObject::connect(&agent, &Agent::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    return app.exec();
}
