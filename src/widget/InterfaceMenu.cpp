#include "InterfaceMenu.h"

#include "AppSettings.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>
#include <QVariant>
#include <algorithm>

namespace {

// Draws the text after a tab (where a shortcut would stand) in grey, right-aligned.
class GreyTailStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        const qsizetype tab = item ? item->text.indexOf(QLatin1Char('\t')) : -1;
        if (element != CE_MenuItem || tab < 0) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        QStyleOptionMenuItem head(*item);
        head.text = item->text.left(tab);
        QProxyStyle::drawControl(element, &head, painter, widget);
        const int margin = pixelMetric(PM_MenuHMargin, option, widget) + 12;
        const QRect tail = item->rect.adjusted(0, 0, -margin, 0);
        painter->save();
        painter->setFont(item->font);
        painter->setPen(item->palette.color(QPalette::Disabled, QPalette::Text));
        painter->drawText(tail, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                          item->text.mid(tab + 1));
        painter->restore();
    }
};

// The grey class beside a link's name: physical, or virtual with the driver's kind of link.
QString classLabel(const LinkAttributes& a) {
    if (linkClassify(a) != LinkClass::Virtual) {
        return QCoreApplication::translate("InterfaceMenu", "物理");
    }
    const std::string kind = !a.kind.empty()               ? a.kind
                             : a.medium == LinkMedium::Ppp ? std::string("ppp")
                                                           : std::string();
    return kind.empty() ? QCoreApplication::translate("InterfaceMenu", "虚拟")
                        : QCoreApplication::translate("InterfaceMenu", "虚拟 %1")
                              .arg(QString::fromStdString(kind));
}

} // namespace

InterfaceChoice interfaceChoiceToggled(const InterfaceChoice& current,
                                       const std::vector<LinkCounter::Shown>& links,
                                       const std::string& name, bool on) {
    std::vector<std::string> names;
    if (current.mode == InterfaceChoice::Mode::Named) {
        names = current.names; // links listed but absent now stay listed
    } else {
        for (const LinkCounter::Shown& s : links) {
            if (s.counted) {
                names.push_back(s.link.name);
            }
        }
    }
    names.erase(std::remove(names.begin(), names.end(), name), names.end());
    if (on) {
        names.push_back(name);
    }
    return parseInterfaceChoice(names.empty() ? std::vector<std::string>{"auto"} : names);
}

InterfaceChoice interfaceChoiceFromSetting(const QVariant& value) {
    std::vector<std::string> items;
    for (const QString& s : value.toStringList()) {
        items.push_back(s.toStdString());
    }
    return parseInterfaceChoice(items);
}

QVariant interfaceChoiceToSetting(const InterfaceChoice& choice) {
    QStringList items;
    for (const std::string& s : formatInterfaceChoice(choice)) {
        items.push_back(QString::fromStdString(s));
    }
    return items.size() == 1 ? QVariant(items.front()) : QVariant(items);
}

InterfaceChoice loadInterfaceChoice() {
    return interfaceChoiceFromSetting(
        AppSettings().value(QString::fromLatin1(settingsKeys::interfaces)));
}

void storeInterfaceChoice(const InterfaceChoice& choice) {
    AppSettings().setValue(QString::fromLatin1(settingsKeys::interfaces),
                           interfaceChoiceToSetting(choice));
}

void addInterfaceSubmenu(QMenu& menu, const InterfaceChoice& current,
                         const std::vector<LinkCounter::Shown>& links,
                         const std::function<void(const InterfaceChoice&)>& choose) {
    QMenu* sub = menu.addMenu(QCoreApplication::translate("InterfaceMenu", "统计接口"));
    auto* style = new GreyTailStyle;
    style->setParent(sub);
    sub->setStyle(style);

    const auto addMode = [&](const QString& title, InterfaceChoice::Mode mode) {
        QAction* a = sub->addAction(title);
        a->setCheckable(true);
        a->setChecked(current.mode == mode);
        QObject::connect(a, &QAction::triggered, sub, [choose, mode] {
            choose(InterfaceChoice{mode, {}});
        });
    };
    addMode(QCoreApplication::translate("InterfaceMenu", "自动"), InterfaceChoice::Mode::Auto);
    addMode(QCoreApplication::translate("InterfaceMenu", "全部"), InterfaceChoice::Mode::All);
    sub->addSeparator();
    for (const LinkCounter::Shown& s : links) {
        if (linkClassify(s.link.attributes) == LinkClass::Loopback) {
            continue;
        }
        QAction* a = sub->addAction(QString::fromStdString(s.link.name) + QLatin1Char('\t') +
                                    classLabel(s.link.attributes));
        a->setCheckable(true);
        a->setChecked(s.counted);
        QObject::connect(a, &QAction::triggered, sub,
                         [choose, current, links, name = s.link.name](bool on) {
                             choose(interfaceChoiceToggled(current, links, name, on));
                         });
    }
}
