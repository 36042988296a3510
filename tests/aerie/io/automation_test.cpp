// Automation files: what a well-formed file reads as, and the malformed,
// empty and missing files refused with the line or the file named.
#include <aerie/io/automation.h>

#include <gtest/gtest.h>

#include "files.h"

namespace {

TEST(AutomationFile, ReadsTimesParametersAndValuesAroundBlanksAndComments) {
    const auto rows = aerie::parseAutomation(
        "# a chain of two\r\n\r\n time , parameter , value \r\n0.5,Gain,0.25\r\n\t4.5b\t, 2:Cutoff ,1\n# done\n3,1,.5");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].line, 4);
    EXPECT_EQ(rows[0].time, 0.5);
    EXPECT_FALSE(rows[0].beats);
    EXPECT_EQ(rows[0].parameter, "Gain");
    EXPECT_EQ(rows[0].value, 0.25f);
    EXPECT_EQ(rows[1].line, 5);
    EXPECT_EQ(rows[1].time, 4.5);
    EXPECT_TRUE(rows[1].beats);
    EXPECT_EQ(rows[1].parameter, "2:Cutoff");
    EXPECT_EQ(rows[1].value, 1.0f);
    EXPECT_EQ(rows[2].line, 7);
    EXPECT_EQ(rows[2].value, 0.5f);
    EXPECT_TRUE(aerie::parseAutomation("time,parameter,value\n").empty());
}

TEST(AutomationFile, MalformedFilesAreRefusedWithTheLine) {
    const struct Case {
        const char* text;
        const char* says;
    } cases[] = {
        {"", "it is empty (the header \"time,parameter,value\" expected)"},
        {"# only a comment\n\n", "it is empty"},
        {"time,value\n", "line 1: the header \"time,parameter,value\" expected, found \"time,value\""},
        {"time,parameter,value\n0.5,Gain\n", "line 2: three fields expected"},
        {"time,parameter,value\n1\n", "line 2: three fields expected"},
        {"time,parameter,value\n-1,Gain,0.5\n", "line 2: the time \"-1\" is not a number of seconds"},
        {"time,parameter,value\n1e3,Gain,0.5\n", "the time \"1e3\""},
        {"time,parameter,value\nnan,Gain,0.5\n", "the time \"nan\""},
        {"time,parameter,value\n1.2.3,Gain,0.5\n", "the time \"1.2.3\""},
        {"time,parameter,value\nb,Gain,0.5\n", "the time \"\""},
        {"time,parameter,value\n1,,0.5\n", "line 2: no parameter"},
        {"time,parameter,value\n1,Gain,1.5\n", "line 2: the value \"1.5\" is not a number from 0 to 1"},
        {"time,parameter,value\n1,Gain,-0\n", "the value \"-0\""},
        {"time,parameter,value\n1,Gain,\n", "the value \"\""},
        {"time,parameter,value\n\n# fine\n1,Gain,0.5\n2,Gain,x\n", "line 5: the value \"x\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            (void)aerie::parseAutomation(c.text);
            ADD_FAILURE() << "read";
        } catch (const aerie::AutomationError& e) {
            EXPECT_EQ(e.kind(), aerie::ErrorKind::BadInputFile);
            EXPECT_EQ(std::string(e.what()).rfind("malformed automation file: ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(AutomationFile, ReadingNamesTheFile) {
    const std::string missing = fixtures::tmp("missing.csv");
    const std::string empty = fixtures::tmp("empty.csv");
    const std::string bad = fixtures::tmp("bad.csv");
    fixtures::writeFile(empty, {});
    fixtures::writeFile(bad, {'t', 'i', 'm', 'e', '\n'});
    const struct Case {
        std::string path;
        std::string says;
    } cases[] = {
        {missing, "automation file not found: " + missing},
        {empty, "malformed automation file: it is empty (the header \"time,parameter,value\" expected): " + empty},
        {bad, "malformed automation file: line 1: the header \"time,parameter,value\" expected, found \"time\": " + bad},
    };
    for (const Case& c : cases) {
        try {
            (void)aerie::readAutomationFile(c.path);
            ADD_FAILURE() << c.path << " was read";
        } catch (const aerie::AutomationError& e) {
            EXPECT_EQ(e.kind(), aerie::ErrorKind::BadInputFile);
            EXPECT_EQ(e.what(), c.says);
        }
    }
    const auto rows = aerie::readAutomationFile(FIXTURES_DIR "/automation_example.csv");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].line, 5);
}

}  // namespace
