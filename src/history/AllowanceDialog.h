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

private:
    QCheckBox* m_enabled;
    QDoubleSpinBox* m_gigabytes;
    QSpinBox* m_startDay;
    QComboBox* m_direction;
};
