#include "urlguard.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>

namespace {

enum class Ipv4 { Name, Invalid, Address };

// Chromium reads a host whose last label is a number as an IPv4 address of up to four parts,
// each decimal, octal (leading 0) or hex (leading 0x), the last one filling the bytes left.
// Another host that ends in a number is refused: the URL standard has it invalid, while older
// engines look it up as a name.
Ipv4 parseIpv4(const QString& host, quint32& address)
{
    const QVector<QStringRef> parts = host.splitRef(QLatin1Char('.'));
    const QStringRef last = parts.constLast();
    const auto isDigits = [](const QStringRef& text, int base) {
        static const QString digits = QStringLiteral("0123456789abcdef");
        for (const QChar c : text) {
            const int digit = digits.indexOf(c.toLower());
            if (digit < 0 || digit >= base)
                return false;
        }
        return true;
    };
    const bool hex = last.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    if (last.isEmpty() || !(hex ? isDigits(last.mid(2), 16) : isDigits(last, 10)))
        return Ipv4::Name;
    if (parts.size() > 4)
        return Ipv4::Invalid;

    QVector<quint64> values;
    for (const QStringRef& part : parts) {
        int base = 10;
        QStringRef digits = part;
        if (part.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
            base = 16;
            digits = part.mid(2);
        } else if (part.size() > 1 && part.startsWith(QLatin1Char('0'))) {
            base = 8;
            digits = part.mid(1);
        }
        if (part.isEmpty() || !isDigits(digits, base))
            return Ipv4::Invalid;
        bool ok = true;
        const quint64 value = digits.isEmpty() ? 0 : digits.toULongLong(&ok, base);
        if (!ok || value > 0xffffffffu)
            return Ipv4::Invalid;
        values << value;
    }
    address = 0;
    for (int i = 0; i < values.size() - 1; ++i) {
        if (values.at(i) > 0xff)
            return Ipv4::Invalid;
        address |= quint32(values.at(i)) << (24 - 8 * i);
    }
    if (values.constLast() >= quint64(1) << (8 * (5 - values.size())))
        return Ipv4::Invalid;
    address |= quint32(values.constLast());
    return Ipv4::Address;
}

struct Block
{
    QLatin1String kind;
    QPair<QHostAddress, int> subnet;
};

QVector<Block> makeBlocks(std::initializer_list<std::pair<const char*, const char*>> list)
{
    QVector<Block> result;
    for (const auto& block : list) {
        result.append({ QLatin1String(block.first),
            QHostAddress::parseSubnet(QString::fromLatin1(block.second)) });
    }
    return result;
}

QString kindOf(const QHostAddress& address, const QVector<Block>& blocks)
{
    for (const Block& block : blocks) {
        if (address.isInSubnet(block.subnet))
            return block.kind;
    }
    return QString();
}

} // namespace

UrlGuard::UrlGuard(const QStringList& allowedPatterns)
{
    for (const QString& glob : allowedPatterns) {
        QString pattern;
        for (const QChar c : glob)
            pattern += c == QLatin1Char('*') ? QStringLiteral(".*") : QRegularExpression::escape(c);
        m_allowed.append(QRegularExpression(QRegularExpression::anchoredPattern(pattern),
            QRegularExpression::CaseInsensitiveOption));
    }
    // Read once: the domain comes from the resolver's configuration, too slow for every request.
    const QString name = QHostInfo::localHostName().toLower();
    const QString domain = QHostInfo::localDomainName().toLower();
    m_ownNames << name;
    if (!domain.isEmpty())
        m_ownNames << name + QLatin1Char('.') + domain;
}

QString UrlGuard::check(const QString& url) const { return check(QUrl(url, QUrl::StrictMode)); }

QString UrlGuard::check(const QUrl& url) const
{
    if (!url.isValid())
        return QStringLiteral("invalid URL");
    // QUrl has lowered the scheme's case, as the engine does.
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QStringLiteral("scheme \"%1\" is not http or https").arg(scheme);
    // The form the engine receives: in ASCII, lower case; trailing dots change nothing there.
    QString host = url.host(QUrl::FullyEncoded);
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.isEmpty())
        return QStringLiteral("no host");

    QHostAddress address;
    bool isAddress = true;
    if (host.contains(QLatin1Char(':'))) {
        if (!address.setAddress(url.host(QUrl::FullyDecoded)))
            return QStringLiteral("invalid address %1").arg(host);
    } else {
        quint32 ipv4 = 0;
        switch (parseIpv4(host, ipv4)) {
        case Ipv4::Invalid:
            return QStringLiteral("invalid address %1").arg(host);
        case Ipv4::Address:
            address.setAddress(ipv4);
            break;
        case Ipv4::Name:
            isAddress = false;
            break;
        }
    }
    QString reason;
    if (isAddress) {
        // An IPv4-mapped IPv6 address reaches the IPv4 one.
        static const auto mapped = QHostAddress::parseSubnet(QStringLiteral("::ffff:0:0/96"));
        if (address.isInSubnet(mapped))
            address.setAddress(address.toIPv4Address());
        host = address.toString();
        reason = refusedAddress(address);
    } else {
        reason = refusedName(host);
    }
    if (reason.isEmpty() || allowed(url, host))
        return QString();
    return reason;
}

QString UrlGuard::refusedName(const QString& name) const
{
    // The names that /etc/hosts commonly gives the loopback addresses; the engine itself never
    // asks the resolver about *.localhost.
    static const QStringList loopbackNames
        = { QStringLiteral("localhost"), QStringLiteral("localhost.localdomain"),
              QStringLiteral("localhost6"), QStringLiteral("localhost6.localdomain6"),
              QStringLiteral("ip6-localhost"), QStringLiteral("ip6-loopback") };
    if (loopbackNames.contains(name) || name.endsWith(QLatin1String(".localhost")))
        return QStringLiteral("loopback name %1").arg(name);
    if (m_ownNames.contains(name))
        return QStringLiteral("own name %1").arg(name);
    return QString();
}

QString UrlGuard::refusedAddress(const QHostAddress& address)
{
    static const QVector<Block> machine = makeBlocks({ { "loopback", "127.0.0.0/8" },
        { "loopback", "::1/128" }, { "unspecified", "0.0.0.0/8" }, { "unspecified", "::/128" } });
    static const QVector<Block> networks = makeBlocks({ { "link-local", "169.254.0.0/16" },
        { "link-local", "fe80::/10" }, { "private", "10.0.0.0/8" }, { "private", "172.16.0.0/12" },
        { "private", "192.168.0.0/16" }, { "private", "100.64.0.0/10" }, { "private", "fc00::/7" },
        { "private", "fec0::/10" } });
    QString kind = kindOf(address, machine);
    // Read each time: a machine's addresses change with the networks it joins.
    if (kind.isEmpty() && QNetworkInterface::allAddresses().contains(address))
        kind = QStringLiteral("own");
    if (kind.isEmpty())
        kind = kindOf(address, networks);
    return kind.isEmpty() ? QString() : kind + QLatin1String(" address ") + address.toString();
}

bool UrlGuard::allowed(QUrl url, const QString& host) const
{
    // Matched as the request goes out: to this host, whoever the user info names.
    url.setHost(host);
    url.setUserInfo(QString());
    const QString text = url.toString(QUrl::FullyEncoded);
    for (const QRegularExpression& pattern : m_allowed) {
        if (pattern.match(text).hasMatch())
            return true;
    }
    return false;
}
