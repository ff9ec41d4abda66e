#include "logging/column_mapping.h"

#include <algorithm>

#include "logging/log_variables.h"
#include "settings/configuration_form.h"
#include "settings/settings.h"

namespace tarvo {
namespace {

constexpr std::string_view kLinkMark = "\t->\t";

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::vector<std::string> sortIgnoringCase(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const auto folded = [](char x, char y) { return lower(x) < lower(y); };
        if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), folded))
            return true;
        if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), folded))
            return false;
        return a < b;
    });
    return names;
}

void ColumnMapping::setColumns(const std::vector<ColumnInfo>& columns) {
    m_rows.clear();
    for (const ColumnInfo& column : columns) {
        Row row{column.name, column.sqlType, -1};
        for (int v = 0; v < kLogVariableCount; ++v)
            if (VariableFitsColumnType(v, column.sqlType) &&
                NameMatches(logVariableName(v), column.name))
                row.variable = v;
        m_rows.push_back(std::move(row));
    }
}

int ColumnMapping::linkCount() const {
    return static_cast<int>(
        std::ranges::count_if(m_rows, [](const Row& row) { return row.variable >= 0; }));
}

std::string ColumnMapping::rowText(const Row& row) {
    if (row.variable < 0)
        return "\t\t" + row.column;
    return std::string(logVariableName(row.variable)) + std::string(kLinkMark) + row.column;
}

bool ColumnMapping::canLink(int row, int variable) const {
    return validRow(row) &&
           VariableFitsColumnType(variable, m_rows[static_cast<std::size_t>(row)].sqlType);
}

bool ColumnMapping::canUnlink(int row) const {
    return validRow(row) && m_rows[static_cast<std::size_t>(row)].variable >= 0;
}

bool ColumnMapping::link(int row, int variable) {
    if (!canLink(row, variable))
        return false;
    m_rows[static_cast<std::size_t>(row)].variable = variable;
    return true;
}

bool ColumnMapping::unlink(int row) {
    if (!canUnlink(row))
        return false;
    m_rows[static_cast<std::size_t>(row)].variable = -1;
    return true;
}

std::optional<ColumnMapping::Refusal> ColumnMapping::store(const Choice& choice,
                                                           Settings& settings) const {
    // A line feed in either would start a settings line of its own.
    if (auto refusal = refuseControlCharacters("user name", choice.user))
        return Refusal{*refusal, Refusal::User};
    if (auto refusal = refuseControlCharacters("password", choice.passwd))
        return Refusal{*refusal, Refusal::Password};
    settings.links.clear();
    settings.user = choice.user;
    settings.passwd = choice.passwd;
    if (choice.dsn.empty())
        return Refusal{"Error storing DSN"};
    settings.dsn = choice.dsn;
    if (choice.table.empty())
        return Refusal{"Error storing table name"};
    settings.table = BracketQuote(choice.table, settings.kludgeFlags);
    std::vector<ColumnLink> links;
    for (const Row& row : m_rows)
        if (row.variable >= 0)
            links.push_back(
                {row.variable, row.sqlType, BracketQuote(row.column, settings.kludgeFlags)});
    // The names go into every INSERT as they are; a name that would not
    // stay one identifier there (a space, a quote, a semicolon) is refused
    // now rather than failing, or worse, at every sampling pass.
    std::vector<std::string> names{settings.table};
    for (const ColumnLink& link : links)
        names.push_back(link.columnName);
    for (const std::string& name : names)
        if (!identifierIsSafe(name))
            return Refusal{"The name \"" + name +
                           "\" can't be used in the statements that store the samples: "
                           "names may hold only letters, digits, '_', '$' and '.'.\nPlease "
                           "rename it in the database or leave that column unlinked."};
    settings.links = std::move(links);
    settings.databaseLogState = Active;
    return std::nullopt;
}

} // namespace tarvo
