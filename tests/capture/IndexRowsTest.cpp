// The index rows read back as they were written: times on both sides of 1970 and at the edges of
// the calendar, frame rows at the edges of their fields, and what is not quite a row.
#include "IndexRows.h"

#include <gtest/gtest.h>

namespace {

std::string Row(const CFrameIndexRow &r)
{
    return FrameRow(r.nNumber, r.llTime, r.dwCaptured, r.dwOriginal, r.nLinkType);
}

} // namespace

TEST(IndexRowsTest, TimesAndFrameRowsReadBackAsWritten)
{
    const std::pair<int64_t, const char *> times[] = {
        {-1, "1969-12-31T23:59:59.999999Z"}, // a thread's first time, before 1970
        {0, "1970-01-01T00:00:00.000000Z"},
        {951782400000001, "2000-02-29T00:00:00.000001Z"}, // a leap day of a century year
        {1704067199999999, "2023-12-31T23:59:59.999999Z"},
        {253402300799999999, "9999-12-31T23:59:59.999999Z"},
        {-62167219200000000, "0000-01-01T00:00:00.000000Z"},
    };
    for (const auto &[microseconds, text] : times) {
        int64_t back = 7;
        EXPECT_EQ(FormatTime(microseconds), text);
        EXPECT_TRUE(ParseTime(text, back) && back == microseconds) << text << " read as " << back;
    }
    // Dates the calendar lacks, hours and seconds out of range, another form, and the five-digit
    // year that FormatTime writes after 9999 (such a row is not a row).
    const std::string notTimes[] = {"2023-02-29T00:00:00.000000Z", "1900-02-29T00:00:00.000000Z",
                                    "2023-13-01T00:00:00.000000Z", "2023-04-31T00:00:00.000000Z",
                                    "2023-12-31T24:00:00.000000Z", "2023-12-31T23:60:00.000000Z",
                                    "2016-12-31T23:59:60.000000Z", "2023-12-31 23:59:59.000000Z",
                                    "2023-12-31T23:59:59.000000",  "2023-12-31T23:59:59.0000000Z",
                                    "2023-12-31T23:59:59.00000aZ", "+023-12-31T23:59:59.000000Z",
                                    FormatTime(253402300800000000)};
    for (const std::string &text : notTimes) {
        int64_t back = 0;
        EXPECT_FALSE(ParseTime(text, back)) << text;
    }
    for (const CFrameIndexRow &row :
         {CFrameIndexRow{1, 0, 0, 0, 0},
          CFrameIndexRow{2147483647, -1, 4294967295u, 4294967295u, 2147483647},
          CFrameIndexRow{42, 1700000000123456, 60, 1514, 113}}) {
        CFrameIndexRow back;
        EXPECT_TRUE(ParseFrameRow(Row(row), back) && Row(back) == Row(row)) << Row(row);
    }
    // Rows one mistake away from "0000000001,<time>,60,65,1\r\n".
    const std::string time = ",1970-01-01T00:00:00.000000Z,", first = "0000000001" + time;
    const std::string notRows[] = {first + "60,65\r\n",
                                   first + "60,65,1,1\r\n",
                                   first + "6x,65,1\r\n",
                                   first + "-1,65,1\r\n",
                                   first + "060,65,1\r\n",
                                   first + ",65,1\r\n",
                                   first + "60,65,1\n",
                                   first + "60,4294967296,1\r\n",
                                   first + "60,65,2147483648\r\n",
                                   first + "60,65,1",
                                   "000000001" + time + "60,65,1\r\n",
                                   "0000000000" + time + "60,65,1\r\n",
                                   "00000000001" + time + "60,65,1\r\n"};
    for (const std::string &row : notRows) {
        CFrameIndexRow back;
        EXPECT_FALSE(ParseFrameRow(row, back)) << row;
    }
}
