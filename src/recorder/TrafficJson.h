#pragma once

#include "TrafficTypes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstdint>
#include <map>

// The traffic history's JSON form, as the old traffic file and the export and import
// commands have it. Pure: kept apart from TrafficRecorder so tests and benchmarks reach it.

using TrafficDays = std::map<QString, DailyTraffic>;

enum class TrafficParse { Ok, NotJson, NotObject };

// Reads the file's text member by member: members of the wrong kind are skipped or read as 0,
// so one bad day never costs the others. `out` is filled only when the result is Ok.
TrafficParse trafficFromJson(const QByteArray& bytes, TrafficDays& out);

// Pretty-printed text with exactly the members the reader knows. Counts that a signed 64-bit
// JSON integer cannot hold are written as the largest one.
QByteArray trafficToJson(const TrafficDays& days);
// The same text a day at a time, for writers that stream: "{", then each day (the first with
// `first` set), then trafficJsonEnd() of whether there was none.
void trafficAppendDayJson(QByteArray& out, bool first, const QString& key, const DailyTraffic& day);
// The same a piece at a time, from UTF-8 text as a database holds it.
void trafficAppendDayStart(QByteArray& out, bool first, QByteArrayView key, std::uint64_t totalIn,
                           std::uint64_t totalOut);
void trafficAppendApp(QByteArray& out, bool first, QByteArrayView name, std::uint64_t in,
                      std::uint64_t sent);
void trafficAppendDayEnd(QByteArray& out, bool hadApps);
const char* trafficJsonEnd(bool empty);
