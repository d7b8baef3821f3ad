#include "ports/instance_id.h"

#include <cctype>
#include <vector>

namespace
{

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::string Upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// The 4 hex digits after prefix (VID_ or PID_) in field, lower case; "" when field is no such.
std::string Hex4(const std::string &field, const char *prefix)
{
    const std::string head = Upper(field.substr(0, 4));
    if (field.size() != 8 || head != prefix)
        return "";
    std::string digits = field.substr(4);
    for (char &c : digits) {
        if (!isxdigit(static_cast<unsigned char>(c)))
            return "";
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return digits;
}

// A serial number as an id carries it: printable, and not made up by Windows.
bool RealSerial(const std::string &part)
{
    if (part.empty() || part.find('&') != std::string::npos)
        return false;
    for (char c : part) {
        if (!isgraph(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

} // namespace

usb_ids ParseInstanceId(const std::string &id)
{
    usb_ids ids;
    const std::vector<std::string> parts = Split(id, '\\');
    if (parts.size() != 3)
        return ids;
    const std::string bus = Upper(parts[0]);
    const std::vector<std::string> fields = Split(parts[1], bus == "FTDIBUS" ? '+' : '&');
    if ((bus != "USB" && bus != "FTDIBUS") || fields.size() < 2)
        return ids;
    ids.vendor_id = Hex4(fields[0], "VID_");
    ids.product_id = Hex4(fields[1], "PID_");
    ids.usb = !ids.vendor_id.empty() && !ids.product_id.empty();
    if (!ids.usb)
        return {};
    if (bus == "FTDIBUS") {
        // The serial number and the channel's letter, with nothing else after the product.
        const std::string last = fields.size() == 3 ? fields[2] : "";
        const char channel = last.empty() ? '\0' : static_cast<char>(toupper(last.back()));
        if (last.size() > 1 && channel >= 'A' && channel <= 'D' &&
            RealSerial(last.substr(0, last.size() - 1)))
            ids.serial = last.substr(0, last.size() - 1);
        return ids;
    }
    for (size_t i = 2; i < fields.size(); i++)
        ids.composite = ids.composite || Upper(fields[i]).rfind("MI_", 0) == 0;
    if (!ids.composite && RealSerial(parts[2]))
        ids.serial = parts[2];
    return ids;
}
