// The volume script is started as a program with its own arguments, never through a shell: a host
// installed in a directory whose name holds spaces, quotes or shell syntax runs the script found
// there with exactly the library's arguments, and nothing else.
#include "standins.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

class TestVolumeCommand : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostileDirectory_data();
    void hostileDirectory();
};

void TestVolumeCommand::hostileDirectory_data()
{
    QTest::addColumn<QString>("dirName");
    // Each would run "touch injected", or miss the script, were the command line given to a shell
    // or split at its spaces.
    QTest::newRow("shell syntax") << QStringLiteral(
        R"(host  'q' "d";touch injected;$(touch injected) `touch injected` && touch injected || >injected &)");
    QTest::newRow("unbalanced quote, escapes")
        << QStringLiteral(R"(host 'dir\ x\;touch injected\)");
}

void TestVolumeCommand::hostileDirectory()
{
    QFETCH(QString, dirName);

    StandIns standIns;
    standIns.setAvailable(8000); // the player is admitted and the monitor keeps running
    const QString root = standIns.dir() + QLatin1String("/root");
    const QString hostDir = root + QLatin1Char('/') + dirName;
    const QString workDir = root + QLatin1String("/cwd");
    QVERIFY(QDir().mkpath(hostDir) && QDir().mkpath(workDir));
    const QString script = hostDir + QLatin1String("/h5setvol.sh");
    for (const auto& [from, to] : { std::pair(H5TEST_VOLUME_HOST, "/h5redir-volume-host"),
             std::pair(H5TEST_RECORDING_SCRIPT, "/h5setvol.sh") }) {
        QVERIFY(QFile::copy(QString::fromUtf8(from), hostDir + QLatin1String(to)));
        QVERIFY(
            QFile::setPermissions(hostDir + QLatin1String(to), QFile::ReadOwner | QFile::ExeOwner));
    }

    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(hostDir + QLatin1String("/h5redir-volume-host"),
        { standIns.dir() + QLatin1String("/h5setvol.calls") });
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
    const QString pid = QString::number(process.processId());
    QVERIFY(process.waitForFinished(60 * 1000));

    // Nothing else ran: no file appeared where a shell could have written one.
    const auto entries = [](const QString& dir) {
        return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    };
    QCOMPARE(entries(workDir), QStringList());
    QCOMPARE(entries(hostDir),
        QStringList({ QStringLiteral("h5redir-volume-host"), QStringLiteral("h5setvol.sh") }));
    QCOMPARE(entries(root).size(), 2);
    QCOMPARE(process.exitCode(), 0); // the host saw its volume and mute applied
    // The initial state of a new monitor, then the one the host reported; the volume repeats.
    const QString call = QStringLiteral("[%1] [%2] [set-sink-input-").arg(script, pid);
    QStringList calls = standIns.calls(QStringLiteral("h5setvol"));
    calls.removeDuplicates();
    QCOMPARE(calls,
        QStringList({ call + QLatin1String("volume] [77%]"), call + QLatin1String("mute] [false]"),
            call + QLatin1String("volume] [30%]"), call + QLatin1String("mute] [toggle]") }));
}

QTEST_GUILESS_MAIN(TestVolumeCommand)
#include "tst_volumecommand.moc"
