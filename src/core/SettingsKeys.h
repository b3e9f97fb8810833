#pragma once

// Where the program keeps its settings: QSettings of this organisation and application, and
// the keys it writes there.
namespace settingsKeys {

inline constexpr char organization[] = "Quillfern";
inline constexpr char application[] = "Quillfern";

// The panel's frame, as frameToString writes it.
inline constexpr char frame[] = "widgetFrame";
// The links counted: "auto", "all" or link names.
inline constexpr char interfaces[] = "interfaces";

inline constexpr char allowanceEnabled[] = "allowance/enabled";
inline constexpr char allowanceGigabytes[] = "allowance/gigabytes";
inline constexpr char allowanceStartDay[] = "allowance/cycleStartDay";
inline constexpr char allowanceDownloadOnly[] = "allowance/downloadOnly";
inline constexpr char allowanceAnnouncedCycle[] = "allowance/announcedCycle";
inline constexpr char allowanceAnnouncedLevel[] = "allowance/announcedLevel";

} // namespace settingsKeys
