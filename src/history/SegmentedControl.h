#pragma once

#include <QAbstractButton>
#include <QWidget>
#include <vector>

class QButtonGroup;

// A row of exclusive segments, each a checkable button with a (possibly two-line) label and
// its own width. At most one segment is selected; -1 means none.
class SegmentedControl : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedControl(QWidget* parent = nullptr);

    int segmentCount() const;
    // Adds or removes segments at the end; new segments have an empty label and width 0.
    void setSegmentCount(int count);

    QString label(int segment) const;
    void setLabel(const QString& text, int segment);
    double segmentWidth(int segment) const;
    void setSegmentWidth(double width, int segment);

    int selectedSegment() const;
    // Out-of-range indexes clear the selection.
    void setSelectedSegment(int segment);

    QAbstractButton* segmentButton(int segment) const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The user picked a segment; setting the selection in code does not emit this.
    void activated(int segment);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void layoutSegments();

    QButtonGroup* m_group;
    std::vector<QAbstractButton*> m_buttons;
    std::vector<double> m_widths;
};
