#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/odbc_library.h"

namespace tarvo {

struct Settings;

/// `names` in alphabetical order without regard to letter case (ASCII
/// letters folded; names equal but for case in byte order), as the data
/// source and table lists show them.
std::vector<std::string> sortIgnoringCase(std::vector<std::string> names);

/// The "Variable to Database Column Mapping" of "Save-to-Database Setup":
/// one row per column of the chosen table, in the driver's order, each
/// linked to one variable or to none. The list shows rowText of each row.
class ColumnMapping {
public:
    struct Row {
        std::string column;
        std::int16_t sqlType = 0;
        int variable = -1; ///< the linked LogVariable, -1 for none
        bool operator==(const Row&) const = default;
    };

    /// What OK stores, as the operator chose it.
    struct Choice {
        std::string dsn; ///< empty: no data source selected
        std::string table;
        std::string user;
        std::string passwd;
    };

    /// Why OK was refused; `field` names the text field that gets the focus.
    struct Refusal {
        enum Field { None, User, Password };
        std::string message;
        Field field = None;
    };

    /// The rows of a newly chosen table: each column is linked to the
    /// variable whose name it matches (NameMatches) when its type fits
    /// (VariableFitsColumnType).
    void setColumns(const std::vector<ColumnInfo>& columns);
    void clear() { m_rows.clear(); }

    const std::vector<Row>& rows() const { return m_rows; }
    int linkCount() const;

    /// "Variable\t->\tcolumn" for a linked row, "\t\tcolumn" for another.
    static std::string rowText(const Row& row);

    /// Whether `variable` may be linked to `row` ("Link ->" enabled).
    bool canLink(int row, int variable) const;
    /// Whether `row` holds a link ("Unlink" enabled).
    bool canUnlink(int row) const;
    /// OK is enabled while at least one row is linked.
    bool canStore() const { return linkCount() > 0; }

    /// Links `variable` to `row`, replacing the row's variable if it had
    /// one. One variable may be linked to several columns. Returns false
    /// (and changes nothing) when canLink does not hold.
    bool link(int row, int variable);
    bool unlink(int row);

    /// OK: checks the choice and, when it passes, stores the data source,
    /// table (BracketQuote'd with the settings' kludge_flags), credentials
    /// and one ColumnLink per linked row into `settings` and turns database
    /// logging Active. The checks, in order: no control character in the
    /// user name or password (nothing changed); then, as the stored links
    /// are emptied and the credentials copied, a data source and a table
    /// selected; then every name that goes into the INSERT statements a
    /// single identifier (identifierIsSafe).
    std::optional<Refusal> store(const Choice& choice, Settings& settings) const;

private:
    bool validRow(int row) const { return row >= 0 && row < static_cast<int>(m_rows.size()); }

    std::vector<Row> m_rows;
};

} // namespace tarvo
