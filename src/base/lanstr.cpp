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
    {147, {"数据导出成功", "Successfully export the data", "數據匯出成功", "データのエクスポートに成功しました"}},
    {234, {"是否保存系统\r\n参数？", "Whether to save the system \r\n parameter?", "是否儲存系統\r\n參數？", "システムパラメータを\r\n保存しますか？"}},
    {250, {"启用", "active", "啟用", "有効"}},
    {251, {"不用", "deactive", "不用", "無効"}},
    // Step names: the machine type picks the block of eight rows starting at 263, 372 or 477.
    {263, {"检测1", "Detect 1", "檢測1", "検出1"}},
    {264, {"检测2", "Detect 2", "檢測2", "検出2"}},
    {265, {"检测3", "Detect 3", "檢測3", "検出3"}},
    {266, {"检测4", "Detect 4", "檢測4", "検出4"}},
    {267, {"检测5", "Detect 5", "檢測5", "検出5"}},
    {268, {"检测6", "Detect 6", "檢測6", "検出6"}},
    {269, {"检测7", "Detect 7", "檢測7", "検出7"}},
    {270, {"检测8", "Detect 8", "檢測8", "検出8"}},
    {320, {"没有U盘，是否插入U盘\r\n后重试？", "There is not U disk, whether to \r\n insert one then try again?", "沒有隨身碟，是否插入隨身碟\r\n後重試？", "USBメモリがありません。挿入して\r\n再試行しますか？"}},
    {326, {"导出数据", "Export DT", "匯出數據", "データ出力"}},
    {328, {"网络参数", "Network Settings", "網路參數", "ネットワーク設定"}},
    {330, {"子网掩码", "Mask", "子網路遮罩", "サブネットマスク"}},
    {372, {"步骤1", "Step 1", "步驟1", "ステップ1"}},
    {373, {"步骤2", "Step 2", "步驟2", "ステップ2"}},
    {374, {"步骤3", "Step 3", "步驟3", "ステップ3"}},
    {375, {"步骤4", "Step 4", "步驟4", "ステップ4"}},
    {376, {"步骤5", "Step 5", "步驟5", "ステップ5"}},
    {377, {"步骤6", "Step 6", "步驟6", "ステップ6"}},
    {378, {"步骤7", "Step 7", "步驟7", "ステップ7"}},
    {379, {"步骤8", "Step 8", "步驟8", "ステップ8"}},
    {477, {"工位1", "Station 1", "工位1", "ステーション1"}},
    {478, {"工位2", "Station 2", "工位2", "ステーション2"}},
    {479, {"工位3", "Station 3", "工位3", "ステーション3"}},
    {480, {"工位4", "Station 4", "工位4", "ステーション4"}},
    {481, {"工位5", "Station 5", "工位5", "ステーション5"}},
    {482, {"工位6", "Station 6", "工位6", "ステーション6"}},
    {483, {"工位7", "Station 7", "工位7", "ステーション7"}},
    {484, {"工位8", "Station 8", "工位8", "ステーション8"}},
    {541, {"生产统计", "statistics", "生產統計", "生産統計"}},
    {542, {"OK总数", "statistics", "OK總數", "OK総数"}},
    {543, {"NG总数", "statistics", "NG總數", "NG総数"}},
    {544, {"结果统计文件错误，请还原\n参数组或联系供应商！", "Res statistics file error, please \r\n restore parameter group \r\n or contact supplier", "結果統計檔案錯誤，請還原\n參數組或聯絡供應商！", "結果統計ファイルエラー。パラメータ\nグループを復元するかサプライヤーに連絡してください！"}},
    {545, {"早班", "Morning Shift", "早班", "日勤"}},
    {546, {"晚班", "Night Shift", "晚班", "夜勤"}},
    {547, {"检测总数", "Total", "檢測總數", "検出総数"}},
    {584, {"全部检测", "All detect", "全部檢測", "全検出"}},
    {585, {"全部相机", "All Camera", "全部相機", "全カメラ"}},
    {586, {"相机%1", "Camera %1", "相機%1", "カメラ%1"}},
    {587, {"合计", "Total", "合計", "合計"}},
    {588, {"合格率", "pass rate", "合格率", "合格率"}},
    {589, {"合格数", "Number of qualified", "合格數", "合格数"}},
    {590, {"异常数", "Number of anomaly", "異常數", "異常数"}},
    {598, {"是否启用大数据联网", "Whether to enable big data networking", "是否啟用大數據聯網", "ビッグデータ連携を有効にする"}},
    {599, {"是否传输视频", "Whether to transmit video", "是否傳輸視訊", "映像を送信する"}},
    {600, {"本机ID", "Native ID", "本機ID", "本機ID"}},
    {602, {"服务器IP:", "server address:", "伺服器IP:", "サーバーIP:"}},
    {603, {"与vud通讯不成功", "Unsuccessful communication with VUd", "與vud通訊不成功", "vudとの通信に失敗しました"}},
    {604, {"与服务器连接不成功", "Failed to connect to the server", "與伺服器連線不成功", "サーバーへの接続に失敗しました"}},
    {605, {"未启动联网程序", "Networking program not started", "未啟動聯網程式", "ネットワークプログラムが起動していません"}},
    {606, {"在服务器上未注册本机", "This machine is not registered on the server", "在伺服器上未註冊本機", "この機器はサーバーに登録されていません"}},
    {607, {"连接成功", "Connection successful", "連線成功", "接続成功"}},
    {608, {"静态", "static state", "靜態", "静的"}},
    {609, {"自动获取", "Automatically", "自動取得", "自動取得"}},
    {610, {"连接方式:", "Connection mode", "連線方式:", "接続方式:"}},
    {611, {"默认网关:", "Default gateway", "預設閘道:", "デフォルトゲートウェイ:"}},
    {612, {"默认DNS:", "Default DNS", "預設DNS:", "デフォルトDNS:"}},
    {613, {"是否启用该网卡:", "Whether to enable this network card", "是否啟用該網卡:", "このネットワークカードを有効にする:"}},
    {654, {"正在导出，请稍候！", "Exporting, please wait!", "正在匯出，請稍候！", "エクスポート中です。お待ちください！"}},
    {669, {"wifi密码:", "password:", "wifi密碼:", "wifiパスワード:"}},
    {678, {"存图磁盘异常警告", "Image storage disk exception warning", "存圖磁碟異常警告", "画像保存ディスク異常警告"}},
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
    // A language outside the table would read a cell of the neighbouring row.
    const int lan = (gLan >= 0 && gLan < kLanCount) ? gLan : 0;
    if (row < 0 || row >= gaLanStr.size() / kLanCount)
        return QString();
    return gaLanStr.at(row * kLanCount + lan);
}
