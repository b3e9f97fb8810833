#pragma once

#include "Allowance.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QSpinBox;

// Edits the monthly allowance: on or off, its size, the cycle's start day and what counts.
class AllowanceDialog : public QDialog {
    Q_OBJECT
public:
    explicit AllowanceDialog(const AllowanceSettings& settings, QWidget* parent = nullptr);

    AllowanceSettings settings() const;

    QCheckBox* enabledBox() const { return m_enabled; }
    QDoubleSpinBox* gigabytesBox() const { return m_gigabytes; }
    QSpinBox* startDayBox() const { return m_startDay; }
    QComboBox* directionBox() const { return m_direction; }

private:
    QCheckBox* m_enabled;
    QDoubleSpinBox* m_gigabytes;
    QSpinBox* m_startDay;
    QComboBox* m_direction;
};
