#include "NetLinks.h"

#include <algorithm>
#include <array>

namespace {

bool isLoopback(const LinkReading& link) {
    return linkClassify(link.attributes) == LinkClass::Loopback;
}

// True when a physical link lies beneath `at`: a port of it, or the link it is stacked on,
// followed down a few levels (a VLAN on a bond of physical ports).
bool restsOnPhysical(const std::vector<LinkReading>& links, const LinkReading& at, int depth) {
    if (depth > 8) {
        return false;
    }
    return std::any_of(links.begin(), links.end(), [&](const LinkReading& below) {
        const bool beneath = below.index != at.index &&
                             (below.masterIndex == at.index || below.index == at.lowerIndex);
        return beneath && (linkClassify(below.attributes) == LinkClass::Physical ||
                           restsOnPhysical(links, below, depth + 1));
    });
}

void splitNames(std::string_view text, std::vector<std::string>& out) {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t end = text.find_first_of(", \t", i);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        if (stop > i) {
            out.emplace_back(text.substr(i, stop - i));
        }
        i = stop + 1;
    }
}

} // namespace

LinkClass linkClassify(const LinkAttributes& a) {
    if (a.loopbackFlag || a.medium == LinkMedium::Loopback) {
        return LinkClass::Loopback;
    }
    // A device on a bus is hardware, whatever driver framework gave it a kind.
    if (!a.parentDevice.empty()) {
        return LinkClass::Physical;
    }
    if (!a.kind.empty()) {
        // Modems of the WWAN framework come with a kind of their own.
        return a.kind == "wwan" ? LinkClass::Physical : LinkClass::Virtual;
    }
    if (a.medium == LinkMedium::Ppp || a.medium == LinkMedium::Tunnel) {
        return LinkClass::Virtual;
    }
    // Older kernels name neither kind nor parent for plain hardware.
    return LinkClass::Physical;
}

InterfaceChoice parseInterfaceChoice(const std::vector<std::string>& items) {
    std::vector<std::string> names;
    for (const std::string& item : items) {
        splitNames(item, names);
    }
    InterfaceChoice choice;
    if (names.size() == 1 && names[0] == "all") {
        choice.mode = InterfaceChoice::Mode::All;
    } else if (!names.empty() && !(names.size() == 1 && names[0] == "auto")) {
        choice.mode = InterfaceChoice::Mode::Named;
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        choice.names = std::move(names);
    }
    return choice;
}

std::vector<std::string> formatInterfaceChoice(const InterfaceChoice& choice) {
    switch (choice.mode) {
    case InterfaceChoice::Mode::Auto:
        return {"auto"};
    case InterfaceChoice::Mode::All:
        return {"all"};
    case InterfaceChoice::Mode::Named:
        break;
    }
    return choice.names.empty() ? std::vector<std::string>{"auto"} : choice.names;
}

std::vector<bool> netCountedLinks(const LinkTable& table, const InterfaceChoice& choice) {
    const std::vector<LinkReading>& links = table.links;
    std::vector<bool> counted(links.size(), false);
    if (choice.mode == InterfaceChoice::Mode::Named && !choice.names.empty()) {
        for (std::size_t i = 0; i < links.size(); ++i) {
            counted[i] = std::find(choice.names.begin(), choice.names.end(), links[i].name) !=
                         choice.names.end();
        }
        return counted;
    }
    bool any = false;
    if (choice.mode == InterfaceChoice::Mode::Auto && table.edgeKnown) {
        for (std::size_t i = 0; i < links.size(); ++i) {
            const LinkClass c = linkClassify(links[i].attributes);
            counted[i] =
                c == LinkClass::Physical || (c == LinkClass::Virtual && links[i].defaultRoute &&
                                             !restsOnPhysical(links, links[i], 0));
            any = any || counted[i];
        }
    }
    if (!any) {
        for (std::size_t i = 0; i < links.size(); ++i) {
            counted[i] = !isLoopback(links[i]);
        }
    }
    return counted;
}
