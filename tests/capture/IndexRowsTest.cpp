// The index rows read back as they were written, and what is not quite a row is not read.
#include "IndexRows.h"

#include <gtest/gtest.h>

TEST(IndexRowsTest, FrameRowsReadBackAsWritten)
{
    // A thread's first time, before 1970 (first on purpose), the epoch, a leap day of a century
    // year, the end of a year, and the ends of the four-digit years.
    for (int64_t time : {-1ll, 0ll, 951782400000001ll, 1704067199999999ll, 253402300799999999ll,
                         -62167219200000000ll}) {
        const std::string row = FrameRow(2147483647, time, 4294967295u, 0, 113);
        CFrameIndexRow r;
        EXPECT_TRUE(ParseFrameRow(row, r) && r.llTime == time &&
                    FrameRow(r.nNumber, r.llTime, r.dwCaptured, r.dwOriginal, r.nLinkType) == row)
            << row;
    }
    // Times one mistake away: dates the calendar lacks, an hour or a second out of range,
    // another form, the five-digit year that FormatTime writes after 9999.
    const std::string times[] = {"2023-02-29T00:00:00.000000Z",  "1900-02-29T00:00:00.000000Z",
                                 "2023-12-31T24:00:00.000000Z",  "2016-12-31T23:59:60.000000Z",
                                 "2023-12-31 23:59:59.000000Z",  "2023-12-31T23:59:59.000000",
                                 "2023-12-31T23:59:59.0000000Z", FormatTime(253402300800000000)};
    int64_t back = 0;
    for (const std::string &text : times)
        EXPECT_FALSE(ParseTime(text, back)) << text;
    // Rows one mistake away, in the number, a length, the link type, the fields, the line end.
    const std::pair<std::string, std::string> rows[] = {
        {"000000001", "60,65,1\r\n"},          {"0000000000", "60,65,1\r\n"},
        {"0000000001", "6x,65,1\r\n"},         {"0000000001", "-1,65,1\r\n"},
        {"0000000001", "060,65,1\r\n"},        {"0000000001", ",65,1\r\n"},
        {"0000000001", "60,4294967296,1\r\n"}, {"0000000001", "60,65,2147483648\r\n"},
        {"0000000001", "60,65\r\n"},           {"0000000001", "60,65,1,1\r\n"},
        {"0000000001", "60,65,1\n"},           {"0000000001", "60,65,1"}};
    for (const auto &[number, rest] : rows) {
        CFrameIndexRow row;
        EXPECT_FALSE(ParseFrameRow(number + ",1970-01-01T00:00:00.000000Z," + rest, row)) << rest;
    }
}
