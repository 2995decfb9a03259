#ifndef REDIRRECORDER_H
#define REDIRRECORDER_H

#include <QObject>
#include <QStringList>

#include <initializer_list>
#include <type_traits>

class H5redir;
class LogCapture;

QStringList list(std::initializer_list<const char*> items);

// The library's lines led by their level (D, W, C or I); a line with another category or with a
// source context is marked, so that the comparison shows it.
QStringList h5Lines(const LogCapture& log, const QString& prefix = QStringLiteral("H5 "));

// Every signal of the redirector as "name(arg,...)", in emission order across all signals.
class Recorder
{
public:
    explicit Recorder(H5redir* redir);

    QStringList events;

private:
    template <typename T> static QString text(const T& value)
    {
        if constexpr (std::is_same_v<T, bool>)
            return value ? QStringLiteral("true") : QStringLiteral("false");
        else if constexpr (std::is_arithmetic_v<T>)
            return QString::number(value);
        else if constexpr (std::is_same_v<T, QByteArray>)
            return QString::fromUtf8(value);
        else
            return value;
    }

    template <typename Signal> void record(H5redir* redir, Signal signal, const char* name)
    {
        // The context object cuts the connections before the redirector's destructor emits.
        QObject::connect(redir, signal, &m_context, [this, name](const auto&... args) {
            QStringList parts;
            (parts.append(text(args)), ...);
            events.append(QLatin1String(name) + QLatin1Char('(') + parts.join(QLatin1Char(','))
                + QLatin1Char(')'));
        });
    }

    QObject m_context;
};

#endif // REDIRRECORDER_H
