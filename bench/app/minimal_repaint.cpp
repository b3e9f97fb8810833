// Baselines for the widget's running cost: the least a Qt program can do that shows a
// 216 x 92 window and repaints it once a second (a flat fill), and with "--card" the same
// window painting what the widget's card needs at the least: an antialiased rounded
// rectangle and two short lines of text.
#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QWidget>
#include <cstring>

namespace {

class Card : public QWidget {
public:
    explicit Card(bool drawCard) : drawCard(drawCard) { setFixedSize(216, 92); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), QColor(18, 18, 18));
        if (!drawCard) {
            return;
        }
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 22, 22);
        p.fillPath(path, QColor(30, 30, 30, 210));
        QFont font;
        font.setPixelSize(13);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QPointF(34, 25), QStringLiteral("1.5 KB/s"));
        p.drawText(QPointF(34, 48), QStringLiteral("0 B/s"));
    }

private:
    bool drawCard;
};

} // namespace

int main(int argc, char** argv) {
    const bool drawCard = argc > 1 && std::strcmp(argv[1], "--card") == 0;
    QApplication app(argc, argv);
    Card card(drawCard);
    card.setWindowTitle(QStringLiteral("baseline"));
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &card, [&card] { card.update(); });
    timer.start(1000);
    card.show();
    return app.exec();
}
