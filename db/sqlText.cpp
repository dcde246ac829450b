#include "sqlText.h"

namespace sqlText {

std::string doubled(const std::string &text, char quote)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == quote)
            out += quote;
    }
    return out;
}

std::string quotedIdentifier(const std::string &name)
{
    return "\"" + doubled(name, '"') + "\"";
}

std::string quotedLiteral(const std::string &value)
{
    return "'" + doubled(value, '\'') + "'";
}

namespace {

bool isPlainIdentifier(const std::string &name)
{
    if (name.empty() || (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (unsigned char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

std::string columnIdentifier(const std::string &name)
{
    return isPlainIdentifier(name) ? name : quotedIdentifier(name);
}

std::string itemValue(const ColumnItem &item)
{
    if (item.doubleValue != 0.0)
        return std::to_string(item.doubleValue);
    if (item.intValue != 0)
        return std::to_string(item.intValue);
    return quotedLiteral(item.columnValue);
}

} // namespace sqlText
