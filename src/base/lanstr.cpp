#include "base/lanstr.h"

QStringList gaLanStr;
int gLan = 0;

namespace {

struct Row {
    int row;
    const char* cells[kLanCount];
};

// clang-format off
const Row kRows[] = {
    {58,  {"返回", "Return", "返回", "戻る"}},
    {121, {"确定", "Confirm", "確定", "確定"}},
    {122, {"是", "YES", "是", "はい"}},
    {123, {"否", "NO", "否", "いいえ"}},
};
// clang-format on

constexpr int kRowCount = 700;

}  // namespace

void initLanStr()
{
    gaLanStr.clear();
    gaLanStr.reserve(kRowCount * kLanCount);
    for (int i = 0; i < kRowCount * kLanCount; ++i)
        gaLanStr.append(QString());
    for (const Row& row : kRows) {
        for (int lan = 0; lan < kLanCount; ++lan)
            gaLanStr[row.row * kLanCount + lan] = QString::fromUtf8(row.cells[lan]);
    }
}

QString lanText(int row)
{
    const int index = row * kLanCount + gLan;
    if (row < 0 || index < 0 || index >= gaLanStr.size())
        return QString();
    return gaLanStr.at(index);
}
