#include "scenario.h"

#include <QFile>
#include <QJsonDocument>

namespace {

bool parseStep(const QJsonObject& line, ScenarioStep& step)
{
    const auto has = [&line](const char* key) { return line.contains(QLatin1String(key)); };
    static const struct
    {
        const char* key;
        ScenarioStep::Kind kind;
    } objectSteps[] = { { "send", ScenarioStep::Send }, { "policy", ScenarioStep::Policy },
        { "expect", ScenarioStep::Expect }, { "setup", ScenarioStep::Setup } };
    for (const auto& entry : objectSteps) {
        if (!has(entry.key))
            continue;
        const QJsonValue value = line.value(QLatin1String(entry.key));
        step.kind = entry.kind;
        step.object = value.toObject();
        step.ms = line.value(QLatin1String("timeout")).toInt(Scenario::defaultTimeoutMs);
        return value.isObject() && step.ms > 0;
    }
    if (has("raw")) {
        step.kind = ScenarioStep::Raw;
        step.bytes = QByteArray::fromHex(line.value(QLatin1String("raw")).toString().toLatin1());
        return !step.bytes.isEmpty();
    }
    if (has("wait")) {
        step.kind = ScenarioStep::Wait;
        step.ms = line.value(QLatin1String("wait")).toInt(-1);
        return step.ms >= 0;
    }
    if (has("port")) {
        step.kind = ScenarioStep::Port;
        step.text = line.value(QLatin1String("port")).toString();
        return step.text == QLatin1String("open") || step.text == QLatin1String("closed");
    }
    if (has("note")) {
        step.kind = ScenarioStep::Note;
        step.text = line.value(QLatin1String("note")).toString();
        return true;
    }
    return false;
}

} // namespace

bool Scenario::load(const QString& fileName, QString& error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
        return false;
    }
    m_steps.clear();
    for (int number = 1; !file.atEnd(); ++number) {
        const QByteArray text = file.readLine().trimmed();
        if (text.isEmpty())
            continue;
        ScenarioStep step;
        step.line = number;
        const QJsonDocument document = QJsonDocument::fromJson(text);
        if (!document.isObject() || !parseStep(document.object(), step)) {
            error = QStringLiteral("%1:%2: not a scenario step: %3")
                        .arg(fileName)
                        .arg(number)
                        .arg(QString::fromUtf8(text));
            return false;
        }
        m_steps.append(step);
    }
    return true;
}
