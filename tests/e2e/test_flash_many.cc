// scripts/flash-many end to end: three simulated boards, one of which refuses the image's check
// value; the real zelk on each, run by GNU parallel.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>

#include "board.h"
#include "harness.h"

namespace {

struct Shell {
    int status = -1;
    std::string out;
};

Shell shell(const std::string &cmd)
{
    Shell r;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace

TEST(FlashManyE2E, ThreeBoardsOneFailing)
{
    ASSERT_EQ(shell("command -v parallel").status, 0) << "flash-many needs GNU parallel";
    zb::Config bad;
    bad.faults.push_back(
        {.command = "WB", .occurrence = 1, .reply = zb::Script{zb::send("00000000")}});
    zb::Board b1, b2(bad), b3;
    for (zb::Board *b : {&b1, &b2, &b3})
        ASSERT_TRUE(b->start());
    zt::TempDir dir;
    std::string image(1500, '\0');
    for (std::size_t i = 0; i < image.size(); i++)
        image[i] = static_cast<char>(i * 7 + 1);
    zt::write_file(dir.file("image.bin"), image);

    const Shell r = shell("cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
                          zt::zelk_binary() + " --logs logs image.bin " + b1.path() + " " +
                          b2.path() + " " + b3.path());
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string num = "[0-9]+\\.[0-9]{6}";
    const std::regex table("N +DEVICE +RESULT +SECONDS\n"
                           "1 +" +
                           b1.path() + " +ok +" + num +
                           "\n"
                           "2 +" +
                           b2.path() + " +write failed +" + num +
                           "\n"
                           "3 +" +
                           b3.path() + " +ok +" + num +
                           "\n"
                           "logs and reports: " +
                           dir.path + "/logs\n");
    EXPECT_TRUE(std::regex_match(r.out, table)) << r.out;

    // Each board got the image, or (the second) its first block only.
    for (zb::Board *b : {&b1, &b3}) {
        std::vector<U8> f = b->flash();
        EXPECT_EQ(std::string(f.begin(), f.begin() + 1500), image);
    }
    // A log and a report per board.
    EXPECT_NE(zt::read_file(dir.file("logs/1.log")).find("Fast Write flash ..."),
              std::string::npos);
    EXPECT_NE(zt::read_file(dir.file("logs/2.json")).find("\"result\": \"failed\""),
              std::string::npos);
    EXPECT_NE(zt::read_file(dir.file("logs/3.json")).find("\"exit_status\": 0"), std::string::npos);

    // All boards good: exit 0.
    const Shell ok =
        shell("cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
              zt::zelk_binary() + " --logs again image.bin " + b1.path() + " " + b3.path());
    EXPECT_EQ(ok.status, 0) << ok.out;
}

TEST(FlashManyE2E, UsageAndMissingImage)
{
    zt::TempDir dir;
    EXPECT_EQ(shell(ZELK_SOURCE_DIR "/scripts/flash-many").status, 2);
    const Shell r = shell("cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
                          zt::zelk_binary() + " no-such.bin /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "flash-many: cannot read image no-such.bin\n");
}
