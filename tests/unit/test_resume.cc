// The strict reader of zelk's own run report that "resume" uses, and the speed step down.
#include <gtest/gtest.h>

#include "monitor/resume.h"
#include "monitor/speed_switch.h"

namespace {

const std::string SHA(64, 'a');

std::string report(const std::string &write_line)
{
    return "{\n  \"version\": \"0.1.0\",\n  \"device\": \"/dev/pts/3\",\n  \"operations\": [\n"
           "    {\"name\": \"erase\", \"result\": \"ok\"},\n" +
           write_line + "\n  ],\n  \"signal\": 15,\n  \"exit_status\": 1\n}\n";
}

std::string write_line(const std::string &sha, const std::string &first)
{
    return "    {\"name\": \"write\", \"result\": \"terminated\", \"image\": {\"format\": \"bin\", "
           "\"sha256\": \"" +
           sha + "\", \"blocks_sent\": 300, \"first_incomplete_sector_offset\": " + first + "}}";
}

}  // namespace

TEST(ResumeRecord, ReadsTheImageAndWhereTheWriteStopped)
{
    resume_record rec;
    std::string why;
    ASSERT_EQ(read_resume_record(report(write_line(SHA, "131072")), rec, why), 1) << why;
    EXPECT_EQ(rec.sha256, SHA);
    EXPECT_EQ(rec.first_incomplete, 131072);
    ASSERT_EQ(read_resume_record(report(write_line(SHA, "null")), rec, why), 1);
    EXPECT_EQ(rec.first_incomplete, -1);
}

TEST(ResumeRecord, RefusesWhatZelkDoesNotWrite)
{
    struct Case {
        std::string text, why;
    } cases[] = {
        {"", "is not a zelk run report"},
        {"{\"version\": \"1\"}\n", "is not a zelk run report"},
        {report("    {\"name\": \"read\", \"result\": \"ok\"}"), "records no block write"},
        {report(write_line(SHA.substr(1), "0")), "records no block write"},
        {report(write_line(std::string(64, 'A'), "0")), "is not a zelk run report"},
        {report(write_line(SHA, "100")), "is not a zelk run report"},  // no sector's start
        {report(write_line(SHA, "2097152")), "is not a zelk run report"},
        {report(write_line(SHA, "-65536")), "is not a zelk run report"},
        {report(write_line(SHA, "65536x")), "is not a zelk run report"},
        {report(write_line(SHA, "0")).substr(1), "is not a zelk run report"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        resume_record rec;
        std::string why;
        EXPECT_EQ(read_resume_record(c.text, rec, why), 0);
        EXPECT_EQ(why, c.why);
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
