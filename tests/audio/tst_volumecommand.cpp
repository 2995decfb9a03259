// The volume script is started as a program with its own arguments, never through a shell: a host
// installed in a directory whose name holds spaces, quotes or shell syntax runs the script found
// there with exactly the library's arguments, and nothing else.
#include "standins.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
    | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

bool copyExecutable(const QString& from, const QString& to)
{
    return QFile::copy(from, to) && QFile::setPermissions(to, executable);
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

} // namespace

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

    // Each name would run "touch injected" in the host's working directory, or fail to find the
    // script, were the command line handed to a shell or split at its spaces.
    QTest::newRow("spaces") << QStringLiteral("host dir  with spaces");
    QTest::newRow("quotes") << QStringLiteral(R"(host 'single' "double" dir)");
    QTest::newRow("unbalanced quote") << QStringLiteral("host 'dir");
    QTest::newRow("semicolons") << QStringLiteral("host;touch injected;dir");
    QTest::newRow("substitution") << QStringLiteral("host $(touch injected) `touch injected` dir");
    QTest::newRow("operators") << QStringLiteral(
        "host && touch injected || touch injected & >injected dir");
    QTest::newRow("escapes") << QStringLiteral(R"(host\ dir\;touch injected\)");
}

void TestVolumeCommand::hostileDirectory()
{
    QFETCH(QString, dirName);

    StandIns standIns;
    standIns.setAvailable(8000); // plenty: the player is admitted and the monitor keeps running

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString hostDir = root.filePath(dirName);
    const QString workDir = root.filePath(QStringLiteral("cwd"));
    QVERIFY(QDir().mkpath(hostDir));
    QVERIFY(QDir().mkpath(workDir));
    const QString host = hostDir + QLatin1String("/h5redir-volume-host");
    const QString script = hostDir + QLatin1String("/h5setvol.sh");
    QVERIFY(copyExecutable(QStringLiteral(H5TEST_VOLUME_HOST), host));
    QVERIFY(copyExecutable(QStringLiteral(H5TEST_RECORDING_SCRIPT), script));

    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(host, { QDir(standIns.dir()).filePath(QStringLiteral("h5setvol.calls")) });
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
    const QString pid = QString::number(process.processId());
    QVERIFY(process.waitForFinished(60 * 1000));
    const QStringList calls = standIns.calls(QStringLiteral("h5setvol"));

    // Nothing else ran: no file appeared anywhere a shell could have written one.
    QCOMPARE(entries(workDir), QStringList());
    QCOMPARE(entries(hostDir),
        QStringList({ QStringLiteral("h5redir-volume-host"), QStringLiteral("h5setvol.sh") }));
    QCOMPARE(entries(root.path()), QStringList({ QStringLiteral("cwd"), dirName }));

    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
        qPrintable(QLatin1String("the host never saw its volume and mute applied; calls: ")
            + calls.join(QLatin1String(" | "))));

    // The initial state of a new monitor, then the one the host reported.
    const QString started
        = QLatin1Char('[') + script + QLatin1String("] [") + pid + QLatin1Char(']');
    const QStringList expected {
        started + QLatin1String(" [set-sink-input-volume] [77%]"),
        started + QLatin1String(" [set-sink-input-mute] [false]"),
        started + QLatin1String(" [set-sink-input-volume] [30%]"),
        started + QLatin1String(" [set-sink-input-mute] [toggle]"),
    };
    for (const QString& call : calls)
        QVERIFY2(expected.contains(call), qPrintable(QLatin1String("unexpected call: ") + call));
    for (const QString& call : expected)
        QVERIFY2(calls.contains(call), qPrintable(QLatin1String("missing call: ") + call));
    QVERIFY(calls.indexOf(expected.at(1)) < calls.indexOf(expected.at(3)));
}

QTEST_GUILESS_MAIN(TestVolumeCommand)
#include "tst_volumecommand.moc"
