// The strict reader of zelk's own run report that "resume" uses, and the speed step down.
#include <gtest/gtest.h>

#include "monitor/recovery/resume.h"
#include "monitor/speed/speed_switch.h"

namespace {

const std::string SHA(64, 'a');
const std::string REGIONS = "\"regions\": [{\"offset\": 65536, \"bytes\": 4096}], "
                            "\"region_count\": 1";

std::string report(const std::string &write_line)
{
    return "{\n  \"version\": \"0.1.0\",\n  \"device\": \"/dev/pts/3\",\n  \"device_by_id\": "
           "null,\n"
           "  \"device_id\": \"0x000000c8\",\n  \"operations\": [\n"
           "    {\"name\": \"erase\", \"result\": \"ok\"},\n" +
           write_line + "\n  ],\n  \"signal\": 15,\n  \"exit_status\": 1\n}\n";
}

std::string write_line(const std::string &sha, const std::string &first,
                       const std::string &regions = REGIONS)
{
    return "    {\"name\": \"write\", \"result\": \"terminated\", \"image\": {\"format\": \"bin\", "
           "\"sha256\": \"" +
           sha + "\", " + regions +
           ", \"blocks_sent\": 300, \"first_incomplete_sector_offset\": " + first + "}}";
}

}  // namespace

TEST(ResumeRecord, ReadsTheImageItsPlaceTheBoardAndWhereTheWriteStopped)
{
    resume_record rec;
    std::string why;
    ASSERT_EQ(read_resume_record(report(write_line(SHA, "131072")), rec, why), 1) << why;
    EXPECT_EQ(rec.sha256, SHA);
    EXPECT_EQ(rec.first_incomplete, 131072);
    ASSERT_EQ(rec.regions.size(), 1u);
    EXPECT_EQ(rec.regions[0].offset + rec.regions[0].bytes, 65536u + 4096u);
    EXPECT_TRUE(rec.device == "/dev/pts/3" && rec.device_id == 0xc8u && !rec.manufacturer_code);
    ASSERT_EQ(read_resume_record(report(write_line(SHA, "null")), rec, why), 1);
    EXPECT_EQ(rec.first_incomplete, -1);
}

TEST(ResumeRecord, RefusesWhatZelkDoesNotWrite)
{
    const std::string range = "has first_incomplete_sector_offset out of range";
    const std::string region = "has a region out of the flash";
    const std::string one = "\"region_count\": 1";
    struct Case {
        std::string text, why;
    } cases[] = {
        {"", "is not valid JSON"},
        {report("    {\"name\": \"read\", \"result\": \"ok\"}"), "records no block write"},
        {report(write_line(SHA.substr(1), "0")), "is not a zelk run report"},
        {report(write_line(std::string(64, 'A'), "0")), "is not a zelk run report"},
        {report(write_line(SHA, "0", REGIONS + ", " + one)), "has the key \"region_count\" twice"},
        {report(write_line(SHA, "100")), range},  // no sector's start
        {report(write_line(SHA, "-65536")), range},
        {report(write_line(SHA, "6.5e4")), range},
        {report(write_line(SHA, "\"65536\"")), range},
        {report(write_line(SHA, "0", "\"regions\": [{\"offset\": 2097151, \"bytes\": 2}], " + one)),
         region},
        {report(write_line(SHA, "0", "\"regions\": [{\"offset\": 0, \"bytes\": 0}], " + one)),
         region},
        {report(write_line(SHA, "0", "\"regions\": [], \"region_count\": 1e30")),
         "has region_count out of range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        resume_record rec;
        std::string why;
        EXPECT_EQ(read_resume_record(c.text, rec, why), 0);
        EXPECT_TRUE(why.starts_with(c.why)) << why;
    }
}

// The step down of a write speed: the next lower rate of the table, its repeated rows aside.
TEST(SpeedStepDown, NextLowerRateOfTheTable)
{
    EXPECT_EQ(speed_below(460800), 230400);
    EXPECT_EQ(speed_below(230400), 115200);
    EXPECT_EQ(speed_below(115200), 57600);
    EXPECT_EQ(speed_below(57600), 38400);
    EXPECT_EQ(speed_below(38400), 19200);
    EXPECT_EQ(speed_below(75), 50);
    EXPECT_EQ(speed_below(50), 0);
}
