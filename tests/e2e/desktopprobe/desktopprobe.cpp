// What the desktop tests run on the agent's display: a window filling the screen with a flat
// colour, a block of gradient and text (detail that any scaling or loss would change) and a text
// field. It prints each button press with its screen position, and the field's text after each
// change, so the test sees the host's input arrive. Given WxH+X+Y, the window has that geometry
// instead: a remote window that the browser test moves over a video.
#include <QApplication>
#include <QLinearGradient>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>

#include <cstdio>

namespace {

void print(const QString& line)
{
    std::printf("%s\n", qUtf8Printable(line));
    std::fflush(stdout);
}

class Probe : public QWidget
{
public:
    Probe()
        : m_field(this)
    {
        m_field.setGeometry(20, 240, 200, 30);
        connect(
            &m_field, &QLineEdit::textChanged, [](const QString& text) { print("text " + text); });
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
            const auto* press = static_cast<QMouseEvent*>(event);
            print(QStringLiteral("press %1 %2 %3")
                      .arg(press->globalPos().x())
                      .arg(press->globalPos().y())
                      .arg(int(press->button())));
        }
        return false;
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(0x20, 0x50, 0x80));
        QLinearGradient gradient(20, 20, 220, 220);
        gradient.setColorAt(0, QColor(0xff, 0x80, 0x00));
        gradient.setColorAt(1, QColor(0x00, 0xc0, 0xff));
        painter.fillRect(20, 20, 200, 200, gradient);
        painter.setPen(Qt::white);
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 18));
        painter.drawText(40, 120, QStringLiteral("h5redir"));
    }

private:
    QLineEdit m_field;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // A steady picture: a blinking cursor would change it between two screenshots.
    QApplication::setCursorFlashTime(0);
    Probe probe;
    const QRegularExpressionMatch geometry
        = QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)\\+(\\d+)\\+(\\d+)$"))
              .match(app.arguments().value(1));
    probe.setGeometry(geometry.hasMatch()
            ? QRect(geometry.captured(3).toInt(), geometry.captured(4).toInt(),
                geometry.captured(1).toInt(), geometry.captured(2).toInt())
            : QApplication::primaryScreen()->geometry());
    probe.show();
    probe.activateWindow();
    probe.findChild<QLineEdit*>()->setFocus();
    print(QStringLiteral("ready"));
    return app.exec();
}
