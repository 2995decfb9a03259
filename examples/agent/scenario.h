#ifndef SCENARIO_H
#define SCENARIO_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

/*!
 * One line of a scenario file. Each line is a JSON object with one of these keys:
 *   {"send": {...}}                 a library message from the server
 *   {"policy": {...}}               the proxy policy control message; the string "${freePort}"
 *                                   in it becomes a free loopback port
 *   {"raw": "hex"}                  bytes written to the stream as they are (bad-input cases)
 *   {"wait": ms}                    a pause
 *   {"expect": {...}, "timeout": ms} a message from the client holding all these members;
 *                                   a proxy frame reads as {"commandId":34,"proxyid":..}
 *   {"note": "text"}                printed as it stands
 *   {"port": "closed"|"open"}       the server side of the port closes or opens again
 *   {"setup": {...}}                for whoever runs the scenario, ignored here
 */
struct ScenarioStep
{
    enum Kind { Send, Policy, Raw, Wait, Expect, Note, Setup, Port };

    Kind kind = Note;
    int line = 0;
    QJsonObject object;
    QByteArray bytes;
    QString text;
    int ms = 0;
};

class Scenario
{
public:
    // Reads a scenario file; on failure returns false and describes the first bad line.
    bool load(const QString& fileName, QString& error);
    const QVector<ScenarioStep>& steps() const { return m_steps; }

    static constexpr int defaultTimeoutMs = 5000;

private:
    QVector<ScenarioStep> m_steps;
};

#endif // SCENARIO_H
