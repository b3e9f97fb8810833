#include "AllowanceDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

AllowanceDialog::AllowanceDialog(const AllowanceSettings& s, QWidget* parent)
    : QDialog(parent), m_enabled(new QCheckBox(tr("启用每月流量配额"))),
      m_gigabytes(new QDoubleSpinBox), m_startDay(new QSpinBox), m_direction(new QComboBox) {
    setWindowTitle(tr("流量配额"));
    // Figures keep their decimal point whatever the user's locale, like everywhere else.
    for (QAbstractSpinBox* box : {static_cast<QAbstractSpinBox*>(m_gigabytes),
                                  static_cast<QAbstractSpinBox*>(m_startDay)}) {
        box->setLocale(QLocale::c());
    }

    m_enabled->setChecked(s.enabled);
    m_gigabytes->setRange(0.1, 1e6);
    m_gigabytes->setDecimals(1);
    m_gigabytes->setSuffix(QStringLiteral(" GB"));
    m_gigabytes->setValue(s.gigabytes);
    m_startDay->setRange(1, 31);
    m_startDay->setValue(s.cycleStartDay);
    m_direction->addItem(tr("仅下载"));
    m_direction->addItem(tr("下载和上传"));
    m_direction->setCurrentIndex(s.downloadOnly ? 0 : 1);

    auto* form = new QFormLayout;
    form->addRow(tr("每月配额"), m_gigabytes);
    form->addRow(tr("每月结算日"), m_startDay);
    form->addRow(tr("计入"), m_direction);
    auto* note = new QLabel(tr("结算日在 29–31 日时，较短的月份在当月最后一天结算。"));
    note->setWordWrap(true);

    const auto follow = [this](bool on) {
        m_gigabytes->setEnabled(on);
        m_startDay->setEnabled(on);
        m_direction->setEnabled(on);
    };
    connect(m_enabled, &QCheckBox::toggled, this, follow);
    follow(s.enabled);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    // Qt's own button texts would need its translations installed as well; ours are here.
    buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_enabled);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(buttons);
}

AllowanceSettings AllowanceDialog::settings() const {
    AllowanceSettings s;
    s.enabled = m_enabled->isChecked();
    s.gigabytes = m_gigabytes->value();
    s.cycleStartDay = m_startDay->value();
    s.downloadOnly = m_direction->currentIndex() == 0;
    return s;
}
