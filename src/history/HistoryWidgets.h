#pragma once

#include <QScrollArea>
#include <QString>
#include <QWidget>

// The rounded card behind today's totals: a diagonal gradient, lighter at the top left.
class HeaderCard : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// How much of the allowance is used: a slim track, filled blue, amber from 80 %, red at 100 %.
class AllowanceBar : public QWidget {
public:
    using QWidget::QWidget;
    void setFraction(double fraction);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double m_fraction = 0;
};

// One line of text cut at its end with an ellipsis when it does not fit; the whole text is
// its tool tip.
class ElidingLabel : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    QString text() const { return m_text; }
    void setText(const QString& text);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
};

// Scrolls a widget vertically only: the widget keeps the height it is given and always
// takes the visible width, also when the vertical scroll bar comes and goes.
class VerticalScrollArea : public QScrollArea {
public:
    explicit VerticalScrollArea(QWidget* parent = nullptr);

protected:
    bool viewportEvent(QEvent* event) override;
};
