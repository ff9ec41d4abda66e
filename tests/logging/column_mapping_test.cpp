#include <gtest/gtest.h>

#include "logging/column_mapping.h"
#include "logging/log_variables.h"
#include "settings/settings.h"

namespace tarvo {
namespace {

std::vector<std::string> texts(const ColumnMapping& mapping) {
    std::vector<std::string> out;
    for (const ColumnMapping::Row& row : mapping.rows())
        out.push_back(ColumnMapping::rowText(row));
    return out;
}

// Which names match is NameMatches' own table; here, that a match links
// only where the type fits, and that rows keep the driver's order.
TEST(ColumnMappingTest, ColumnsNamedLikeFittingVariablesAreLinkedInFetchOrder) {
    ColumnMapping mapping;
    mapping.setColumns({{"Notes", SqlVarChar},
                        {"meter", SqlInteger},
                        {"Date_Time", SqlInteger},
                        {"Date Time", SqlTimestamp}});
    EXPECT_EQ(texts(mapping),
              (std::vector<std::string>{"\t\tNotes", "Meter\t->\tmeter", "\t\tDate_Time",
                                        "Date_Time\t->\tDate Time"}));
    EXPECT_EQ(mapping.linkCount(), 2);
}

// One hand edit after another on the rows (INTEGER "Date_Time", VARCHAR
// "Notes"), with its result and the edited row (row 1 for no row).
struct EditCase {
    const char* fault;
    bool link; // false: unlink
    int row;
    int variable;
    bool done;
    const char* rowText;
    int linkCount;
};

TEST(ColumnMappingTest, LinkAndUnlinkFollowTheTypesAndKeepTheCount) {
    ColumnMapping mapping;
    mapping.setColumns({{"Date_Time", SqlInteger}, {"Notes", SqlVarChar}});
    const int amps7 = kFirstAmpsVariable + 6;
    const EditCase edits[] = {
        {"Date_Time does not fit an INTEGER column", true, 0, kDateTimeVariable, false,
         "\t\tDate_Time", 0},
        {"Meter does", true, 0, kMeterVariable, true, "Meter\t->\tDate_Time", 1},
        {"a text column takes any variable", true, 1, amps7, true, "Amps7\t->\tNotes", 2},
        {"relinking replaces the variable, not the count", true, 1, kLocationVariable, true,
         "Location\t->\tNotes", 2},
        {"no row selected", true, -1, kMeterVariable, false, "Location\t->\tNotes", 2},
        {"unlink", false, 1, 0, true, "\t\tNotes", 1},
        {"unlink an unlinked row", false, 1, 0, false, "\t\tNotes", 1},
    };
    for (const EditCase& e : edits) {
        SCOPED_TRACE(e.fault);
        const bool allowed = e.link ? mapping.canLink(e.row, e.variable) : mapping.canUnlink(e.row);
        EXPECT_EQ(allowed, e.done) << "the button must be enabled exactly when the edit is done";
        EXPECT_EQ(e.link ? mapping.link(e.row, e.variable) : mapping.unlink(e.row), e.done);
        EXPECT_EQ(ColumnMapping::rowText(mapping.rows()[e.row == 0 ? 0u : 1u]), e.rowText);
        EXPECT_EQ(mapping.linkCount(), e.linkCount);
    }
}

// OK on the mapping "meter" INTEGER, "Date Time" TIMESTAMP (both linked),
// over settings holding one old link: the refusal, and the settings after it
// as "table|variable:type:column,...|state|user".
struct StoreCase {
    const char* fault;
    ColumnMapping::Choice choice;
    int kludgeFlags;
    std::string refusal;
    ColumnMapping::Refusal::Field field;
    const char* after;
};

TEST(ColumnMappingTest, OkChecksTheChoiceAndStoresTheLinks) {
    using enum ColumnMapping::Refusal::Field;
    const StoreCase cases[] = {
        {"no data source", {"", "T", "", ""}, 0, "Error storing DSN", None, "||1|"},
        {"no table", {"plant", "", "", ""}, 0, "Error storing table name", None, "||1|"},
        {"a line feed in the user name",
         {"plant", "T", "sc\nott", ""},
         5,
         "The user name may not contain control characters",
         User,
         "|0:4:old,|1|"},
        {"a carriage return in the password",
         {"plant", "T", "scott", "ti\rger"},
         5,
         "The password may not contain control characters",
         Password,
         "|0:4:old,|1|"},
        {"a column name with a blank is no identifier outside Access",
         {"plant", "T", "", ""},
         4,
         "The name \"Date Time\" can't be used in the statements that store the samples: names "
         "may hold only letters, digits, '_', '$' and '.'.\nPlease rename it in the database or "
         "leave that column unlinked.",
         None,
         "T||1|"},
        {"brackets make it one for an Access source",
         {"plant", "T", "scott", "ti'ger"},
         5,
         "",
         None,
         "[T]|0:4:[meter],2:11:[Date Time],|2|scott"},
    };
    for (const StoreCase& c : cases) {
        SCOPED_TRACE(c.fault);
        ColumnMapping mapping;
        mapping.setColumns({{"meter", SqlInteger}, {"Date Time", SqlTimestamp}});
        Settings settings;
        settings.kludgeFlags = c.kludgeFlags;
        settings.links = {{0, SqlInteger, "old"}};
        settings.databaseLogState = SetupOpen;
        const auto refusal = mapping.store(c.choice, settings);
        EXPECT_EQ(refusal ? refusal->message : "", c.refusal);
        EXPECT_EQ(refusal ? refusal->field : None, c.field);
        std::string links;
        for (const ColumnLink& l : settings.links)
            links += std::to_string(l.variableIndex) + ":" + std::to_string(l.sqlType) + ":" +
                     l.columnName + ",";
        EXPECT_EQ(settings.table + "|" + links + "|" + std::to_string(settings.databaseLogState) +
                      "|" + settings.user,
                  c.after);
    }
}

TEST(ColumnMappingTest, NamesSortWithoutRegardToCase) {
    EXPECT_EQ(sortIgnoringCase({"b_table", "Zeta", "a2", "A_table", "alpha", "Alpha"}),
              (std::vector<std::string>{"a2", "A_table", "Alpha", "alpha", "b_table", "Zeta"}));
}

} // namespace
} // namespace tarvo
