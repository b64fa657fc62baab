// SPDX-License-Identifier: LGPL-2.1-or-later
// The command trace of the streaming input: trigger-source words, the five-line description and
// the names of the command-test results.
#include "stream_input.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "timed_command.h"

namespace {

std::string src(int bits)
{
    char buf[CMD_SRC_BUFFER_SIZE];
    memset(buf, 'X', sizeof buf);
    return cmd_src(bits, buf);
}

std::string dump(comedi_cmd cmd)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    dump_cmd(out, &cmd);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

/* A stream that never stops; the description does not look at the channel list. */
comedi_cmd streamingCommand(unsigned scanPeriod, unsigned convertPeriod, unsigned nChannels)
{
    return timed_cmd(0, nullptr, nChannels, scanPeriod, convertPeriod, TRIG_NONE, 0);
}

TEST(CmdSrc, NamesEverySingleSource)
{
    EXPECT_EQ(src(TRIG_NONE), "none");
    EXPECT_EQ(src(TRIG_NOW), "now");
    EXPECT_EQ(src(TRIG_FOLLOW), "follow");
    EXPECT_EQ(src(TRIG_TIME), "time");
    EXPECT_EQ(src(TRIG_TIMER), "timer");
    EXPECT_EQ(src(TRIG_COUNT), "count");
    EXPECT_EQ(src(TRIG_EXT), "ext");
    EXPECT_EQ(src(TRIG_INT), "int");
    EXPECT_EQ(src(TRIG_OTHER), "other");
}

TEST(CmdSrc, JoinsWordsInBitOrder)
{
    EXPECT_EQ(src(0x12), "now|timer");
    EXPECT_EQ(src(TRIG_INT | TRIG_NONE), "none|int");
}

TEST(CmdSrc, AllNineWordsFitTheBufferExactly)
{
    char buf[64];
    memset(buf, 0x5a, sizeof buf);
    const std::string all = cmd_src(0x1ff, buf);
    EXPECT_EQ(all, "none|now|follow|time|timer|count|ext|int|other");
    EXPECT_EQ(all.size(), 46u);
    for (size_t i = CMD_SRC_BUFFER_SIZE; i < sizeof buf; ++i) {
        EXPECT_EQ(buf[i], 0x5a) << "byte " << i << " written beyond the 48-byte buffer";
    }
}

TEST(CmdSrc, ReturnsTheCallersBuffer)
{
    char buf[CMD_SRC_BUFFER_SIZE];
    EXPECT_EQ(cmd_src(TRIG_NOW, buf), buf);
}

TEST(CmdSrc, UnknownBitsAloneUseTheFallback)
{
    EXPECT_EQ(src(0), "unknown(0x00000000)");
    EXPECT_EQ(src(0x200), "unknown(0x00000200)");
    EXPECT_EQ(src(INT_MIN), "unknown(0x80000000)");
    EXPECT_EQ(src(-1), "none|now|follow|time|timer|count|ext|int|other");
    EXPECT_EQ(src(0x7fffe00), "unknown(0x07fffe00)");
}

TEST(CmdSrc, UnknownBitsNextToKnownOnesAreIgnored)
{
    EXPECT_EQ(src(0x210), "timer");
    EXPECT_EQ(src(static_cast<int>(0x80000001u)), "none");
}

TEST(DumpCmd, DescribesTheCommandOfAThousandScansOverFourChannels)
{
    EXPECT_EQ(dump(streamingCommand(1000000, 250000, 4)),
              "start:      now      0\n"
              "scan_begin: timer    1000000\n"
              "convert:    timer    250000\n"
              "scan_end:   count    4\n"
              "stop:       none     0\n");
}

TEST(DumpCmd, WideDescriptionsPushTheArgumentRight)
{
    comedi_cmd cmd = streamingCommand(1, 2, 3);
    cmd.start_src = TRIG_NOW | TRIG_INT;
    cmd.stop_src = 0x1ff;
    cmd.convert_src = 0;
    EXPECT_EQ(dump(cmd),
              "start:      now|int  0\n"
              "scan_begin: timer    1\n"
              "convert:    unknown(0x00000000) 2\n"
              "scan_end:   count    3\n"
              "stop:       none|now|follow|time|timer|count|ext|int|other 0\n");
}

TEST(DumpCmd, PrintsArgumentsAsSignedNumbers)
{
    comedi_cmd cmd = streamingCommand(0x80000000u, 0xffffffffu, 4);
    const std::string text = dump(cmd);
    EXPECT_NE(text.find("scan_begin: timer    -2147483648\n"), std::string::npos) << text;
    EXPECT_NE(text.find("convert:    timer    -1\n"), std::string::npos) << text;
}

TEST(CmdtestMessages, NameTheSixResults)
{
    EXPECT_STREQ(cmdtest_messages[0], "success");
    EXPECT_STREQ(cmdtest_messages[1], "invalid source");
    EXPECT_STREQ(cmdtest_messages[2], "source conflict");
    EXPECT_STREQ(cmdtest_messages[3], "invalid argument");
    EXPECT_STREQ(cmdtest_messages[4], "argument conflict");
    EXPECT_STREQ(cmdtest_messages[5], "invalid chanlist");
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(cmdtestResultText(i), cmdtest_messages[i]);
    }
}

TEST(CmdtestMessages, ResultsOutsideTheTableGetAFixedName)
{
    EXPECT_STREQ(cmdtestResultText(6), "unknown result");
    EXPECT_STREQ(cmdtestResultText(1000), "unknown result");
    EXPECT_STREQ(cmdtestResultText(INT_MAX), "unknown result");
    EXPECT_STREQ(cmdtestResultText(-1), "unknown result");
    EXPECT_STREQ(cmdtestResultText(INT_MIN), "unknown result");
}

} // namespace
