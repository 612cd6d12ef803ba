#include "base/lanstr.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The rows the screens and dialogs read, and the cells whose exact text they rely on.
const std::vector<int> kUsedRows = {
    58,  121, 122, 123, 147, 234, 250, 251, 320, 326, 328, 330, 541, 542, 543, 544, 545, 546, 547,
    584, 585, 586, 587, 588, 589, 590, 598, 599, 600, 602, 603, 604, 605, 606, 607, 608, 609, 610,
    611, 612, 613, 654, 669, 678};

struct Cell {
    int row;
    int lan;
    const char* text;
};

const Cell kFixedCells[] = {
    {58, 1, "Return"},
    {121, 0, "确定"}, {121, 1, "Confirm"},
    {122, 0, "是"}, {122, 1, "YES"},
    {123, 0, "否"}, {123, 1, "NO"},
    {147, 1, "Successfully export the data"},
    {234, 1, "Whether to save the system \r\n parameter?"},
    {250, 0, "启用"}, {250, 1, "active"},
    {251, 0, "不用"}, {251, 1, "deactive"},
    {320, 1, "There is not U disk, whether to \r\n insert one then try again?"},
    {326, 1, "Export DT"},
    {328, 0, "网络参数"}, {328, 1, "Network Settings"},
    {330, 0, "子网掩码"}, {330, 1, "Mask"},
    {541, 1, "statistics"}, {542, 1, "statistics"}, {543, 1, "statistics"},
    {542, 0, "OK总数"},
    {544, 0, "结果统计文件错误，请还原\n参数组或联系供应商！"},
    {544, 1, "Res statistics file error, please \r\n restore parameter group \r\n or contact supplier"},
    {545, 1, "Morning Shift"},
    {546, 1, "Night Shift"},
    {547, 0, "检测总数"}, {547, 1, "Total"},
    {584, 1, "All detect"},
    {585, 1, "All Camera"},
    {586, 1, "Camera %1"},
    {587, 1, "Total"},
    {588, 1, "pass rate"},
    {589, 1, "Number of qualified"},
    {590, 1, "Number of anomaly"},
    {598, 0, "是否启用大数据联网"}, {598, 1, "Whether to enable big data networking"},
    {599, 0, "是否传输视频"}, {599, 1, "Whether to transmit video"},
    {600, 0, "本机ID"}, {600, 1, "Native ID"},
    {602, 0, "服务器IP:"}, {602, 1, "server address:"},
    {603, 0, "与vud通讯不成功"}, {603, 1, "Unsuccessful communication with VUd"},
    {604, 0, "与服务器连接不成功"}, {604, 1, "Failed to connect to the server"},
    {605, 0, "未启动联网程序"}, {605, 1, "Networking program not started"},
    {606, 0, "在服务器上未注册本机"}, {606, 1, "This machine is not registered on the server"},
    {607, 0, "连接成功"}, {607, 1, "Connection successful"},
    {608, 0, "静态"}, {608, 1, "static state"},
    {609, 0, "自动获取"}, {609, 1, "Automatically"},
    {610, 0, "连接方式:"}, {610, 1, "Connection mode"},
    {611, 0, "默认网关:"}, {611, 1, "Default gateway"},
    {612, 0, "默认DNS:"}, {612, 1, "Default DNS"},
    {613, 0, "是否启用该网卡:"}, {613, 1, "Whether to enable this network card"},
    {654, 1, "Exporting, please wait!"},
    {669, 0, "wifi密码:"}, {669, 1, "password:"},
    {678, 1, "Image storage disk exception warning"},
};

class LanStr : public ::testing::Test {
protected:
    void SetUp() override
    {
        initLanStr();
        m_savedLan = gLan;
    }
    void TearDown() override { gLan = m_savedLan; }

    static QString cell(int row, int lan) { return gaLanStr.at(row * kLanCount + lan); }

private:
    int m_savedLan = 0;
};

}  // namespace

TEST_F(LanStr, EveryUsedRowHasAllFourLanguages)
{
    std::vector<int> rows = kUsedRows;
    for (const int first : {263, 372, 477})
        for (int step = 0; step < 8; ++step)
            rows.push_back(first + step);
    for (const int row : rows)
        for (int lan = 0; lan < kLanCount; ++lan)
            EXPECT_FALSE(cell(row, lan).isEmpty()) << "row " << row << " language " << lan;
}

TEST_F(LanStr, FixedCellsHoldTheirExactText)
{
    for (const Cell& fixed : kFixedCells)
        EXPECT_EQ(cell(fixed.row, fixed.lan), QString::fromUtf8(fixed.text)) << "row " << fixed.row;
}

TEST_F(LanStr, StepNameBlocksAreDistinctPerStep)
{
    for (const int first : {263, 372, 477})
        for (int step = 1; step < 8; ++step)
            EXPECT_NE(cell(first + step, 1), cell(first + step - 1, 1)) << "row " << first + step;
}

TEST_F(LanStr, LanTextFollowsTheLanguage)
{
    for (int lan = 0; lan < kLanCount; ++lan) {
        gLan = lan;
        EXPECT_EQ(lanText(585), cell(585, lan));
    }
    gLan = 1;
    EXPECT_EQ(lanText(121), "Confirm");
    EXPECT_TRUE(lanText(-1).isEmpty());
    EXPECT_TRUE(lanText(1000000).isEmpty());
}

TEST_F(LanStr, LanguageOutsideTheTableNeverReadsAnotherRow)
{
    for (const int lan : {-1, 4, 7}) {
        gLan = lan;
        EXPECT_EQ(lanText(121), "确定") << "language " << lan;
        EXPECT_EQ(lanText(123), "否") << "language " << lan;
    }
}

TEST_F(LanStr, InitialisingAgainKeepsTheTable)
{
    const int size = gaLanStr.size();
    initLanStr();
    EXPECT_EQ(gaLanStr.size(), size);
    EXPECT_EQ(cell(58, 1), "Return");
}
