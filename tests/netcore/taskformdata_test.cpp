#include "netcore/taskformdata.h"

#include <gtest/gtest.h>
#include <atomic>
#include <thread>

TEST(TaskFormData, DefaultRecordIsAnEmptyOkReply)
{
    CTask_FormData record;
    EXPECT_EQ(record.method, "POST");
    EXPECT_EQ(record.session_id, -1);
    EXPECT_EQ(record.getTaskPkgType(), 0);
    EXPECT_EQ(record.getResponseFirstLine(), "HTTP/1.1 200 OK");
}

TEST(TaskFormData, FirstLinesOfRequestsAndReplies)
{
    CTask_FormData request;
    request.url = "/a";
    EXPECT_EQ(request.getResponseFirstLine(), "POST /a HTTP/1.1");
    request.query.insert("b", "1");
    request.query.insert("a", "2");
    EXPECT_EQ(request.getResponseFirstLine(), "POST /a?a=2&b=1 HTTP/1.1");

    CTask_FormData missing;
    missing.status_code = 404;
    EXPECT_EQ(missing.getResponseFirstLine(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(missing.getResponseFirstLine(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(missing.result_code, -1);
    EXPECT_EQ(missing.status_text, "no found url");

    CTask_FormData busy;
    busy.status_code = 503;
    EXPECT_EQ(busy.getResponseFirstLine(), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(busy.status_text, QString::fromUtf8("服务器忙碌中"));

    CTask_FormData failed;
    failed.status_code = 500;
    EXPECT_EQ(failed.getResponseFirstLine(), "HTTP/1.1 500 OK");
}

TEST(TaskFormData, KindFollowsImagesThenFilesThenJson)
{
    CTask_FormData record;
    record.json.insert("a", 1);
    record.parts.insert("p", QJsonObject{{"x", 1}});
    EXPECT_EQ(record.getTaskPkgType(), 1);
    record.files.insert("/tmp/x", QByteArray());
    EXPECT_EQ(record.getTaskPkgType(), 3);
    record.images.insert("k", cv::Mat(2, 2, CV_8UC1));
    EXPECT_EQ(record.getTaskPkgType(), 2);
}

TEST(TaskFormData, TaskUpdatesByKey)
{
    TcpTsk_Info info("u1");
    EXPECT_EQ(info.recv_times, -1);
    info.applyUpdate("tskup_firstrecv_timing", {});
    info.applyUpdate("tskup_recv_times", {});
    info.applyUpdate("tskup_chg_recvpacklength", {QVariant(42)});
    info.applyUpdate("tskup_chg_recvpacklength", {QVariant(QStringLiteral("7"))});   // not an int: ignored
    info.applyUpdate("unknown", {});
    EXPECT_EQ(info.recv_times, 2);
    EXPECT_EQ(info.recvpacklength, 42);
    EXPECT_GT(info.firstrecv_timing, 0);
    const QMap<QString, QVariant> report = info.getReportParam();
    EXPECT_EQ(report.size(), 8);
    EXPECT_EQ(report.value("_tsk_uuid").toString(), "u1");
    EXPECT_EQ(report.value("_tsk_recv_times").toLongLong(), 2);
}

// Assignment takes one record's lock at a time: self-assignment and an assignment racing with
// another thread that locks source and destination in the other order cannot deadlock.
TEST(TaskFormData, AssignmentNeverHoldsTwoLocks)
{
    CTask_FormData a;
    CTask_FormData b;
    a.url = "/a";
    b.url = "/b";
    a.setProgress({TcpTsk_Info("ua")});
    b.setProgress({TcpTsk_Info("ub")});
    CTask_FormData& self = a;
    a = self;
    EXPECT_EQ(a.progressCopy().size(), 1);

    std::thread assigner([&] {
        for (int i = 0; i < 20000; ++i)
            a = b;   // b's lock, then a's
    });
    for (int i = 0; i < 20000; ++i) {
        QMutexLocker first(&a.progress_mutex);   // a's lock, then b's
        b.setProgress({TcpTsk_Info("ub")});
    }
    assigner.join();
    EXPECT_EQ(a.url, "/b");
    EXPECT_EQ(a.progressCopy().size(), 1);
}

TEST(TaskFormData, CopyWhileProgressChangesIsNeverTorn)
{
    CTask_FormData record;
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    // The writer runs until the copies are done, so both overlap however the threads are scheduled.
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            record.setProgress(i % 2 ? QList<TcpTsk_Info>{TcpTsk_Info("x")} : QList<TcpTsk_Info>{});
            ++writes;
        }
    });
    while (writes == 0)
        std::this_thread::yield();
    for (int i = 0; i < 20000; ++i) {
        const CTask_FormData copy(record);
        const int size = copy.progressCopy().size();
        if (size != 0 && size != 1) {
            ADD_FAILURE() << "torn progress list of size " << size;
            break;
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(writes.load(), 0);
}

TEST(TaskFormData, VariantCellHoldsAtMostOneValue)
{
    CVariant<int> cell;
    EXPECT_TRUE(cell.isEmpty());
    EXPECT_EQ(cell.getValue(), 0);
    cell.setValue(3);
    cell.setValue(5);
    EXPECT_EQ(cell.getValue(), 5);
    const CVariant<int> copy(cell);
    EXPECT_EQ(copy.getValue(), 5);
}
