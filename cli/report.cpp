// The report: one line of JSON for each unit and run, and how the summary and the tally name a
// unit. The README's production section describes each field; a change to them is a new schema.
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "ports/ports.h"
#include "run/about.h"
#include "run/program.h"
#include "system/system.h"

namespace
{

// The version of the report's lines, in each line's "schema".
constexpr int REPORT_SCHEMA = 1;

using json = nlohmann::ordered_json;

std::string Utc(std::chrono::system_clock::time_point t)
{
    const std::tm tm = sysUtc(std::chrono::system_clock::to_time_t(t));
    char text[80];
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             static_cast<int>(ms.count() % 1000));
    return text;
}

json Known(int count)
{
    return count >= 0 ? json(count) : json(nullptr);
}

json Text(const std::string &text)
{
    return text.empty() ? json(nullptr) : json(text);
}

} // namespace

std::string PortLabel(const std::string &port, const std::string &unit)
{
    return unit.empty() ? port : port + " [" + unit + "]";
}

bool WriteRecord(const std::string &report, const unit_record &r, const void *image,
                 uint32_t length, std::string *error)
{
    json adapter = json::object();
    for (const auto &[name, value] : AdapterFacts(r.path))
        adapter[name] = value;
    json j;
    j["schema"] = REPORT_SCHEMA;
    j["port"] = r.port;
    j["unit"] = Text(r.unit);
    j["start"] = Utc(r.start);
    j["end"] = Utc(r.end);
    j["adapter"] = adapter;
    j["image"] = {{"name", std::string(ABOUT_IMAGE_NAME)},
                  {"size", length},
                  {"crc16", CrcText(ImageCrc(image, length))}};
    j["device_crc16"] = r.device_reported ? json(CrcText(r.device_crc)) : json(nullptr);
    j["outcome"] = OUTCOMES[r.outcome].recorded;
    j["cause"] = Text(r.cause);
    j["exit_code"] = r.exit_code;
    j["seconds"] = std::round(r.seconds * 1000) / 1000;
    j["bytes"] = r.bytes;
    j["requests"] = Known(r.requests);
    j["resends"] = Known(r.resends);
    j["program"] = std::string("vek-update ") + ABOUT_VERSION;
    // A path is whatever bytes the system allows: what is no UTF-8 is replaced, as JSON holds
    // text only.
    const std::string line = j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::string why;
    if (sysAppend(report, line, &why))
        return true;
    *error = "vek-update: cannot append to the report " + Printable(report) + ": " + why +
             "; the record of " + Printable(PortLabel(r.port, r.unit)) + " is not safe";
    return false;
}
