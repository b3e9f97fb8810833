#pragma once

#include "LinkCounter.h"

#include <QString>
#include <functional>
#include <string>
#include <vector>

class QMenu;
class QVariant;

// The context menu's "统计接口" submenu: 自动, 全部, and one check item per present link with
// its class in grey. The ticks show which links are counted right now, whatever the mode.

// The choice after the user ticks (on) or unticks a link's item: from then on exactly the
// named links, starting from those counted now. Unticking the last one goes back to auto.
InterfaceChoice interfaceChoiceToggled(const InterfaceChoice& current,
                                       const std::vector<LinkCounter::Shown>& links,
                                       const std::string& name, bool on);

// The "interfaces" value of Quillfern.conf, as QSettings reads it (a string or a list).
InterfaceChoice interfaceChoiceFromSetting(const QVariant& value);
QVariant interfaceChoiceToSetting(const InterfaceChoice& choice);

// Stored choice, read from and written to the program's settings.
InterfaceChoice loadInterfaceChoice();
void storeInterfaceChoice(const InterfaceChoice& choice);

// Appends the submenu to `menu`. `links` are those of the last reading; `choose` gets the
// user's new choice (the menu closes right after).
void addInterfaceSubmenu(QMenu& menu, const InterfaceChoice& current,
                         const std::vector<LinkCounter::Shown>& links,
                         const std::function<void(const InterfaceChoice&)>& choose);
