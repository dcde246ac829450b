#pragma once

#include <string>
#include <vector>

// One column of one row: its name and its value. The read operations fill
// only the name and the text; record writing also looks at the numbers.
struct ColumnItem {
    std::string columnName;
    int intValue = 0;
    double doubleValue = 0.0;
    std::string columnValue;
};

// One unit's record: its serial number, the day table it belongs to and its
// column items in order.
struct sqlDataStruct {
    std::string sn;
    std::string tableName;
    std::vector<ColumnItem> columns;
};
