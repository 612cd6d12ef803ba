#include "base/appclock.h"
#include "base/globals.h"
#include "detection/cammerwidget.h"
#include "detection/mojuwizard.h"
#include "netcore/nettestutil.h"
#include "netservices/api/apireplies.h"
#include "pictures_support.h"
#include "records/copy2movedisk.h"
#include "records/savefialimagethread.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonObject>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

using PicturesTest::jpegs;
using PicturesTest::SavedPicture;

namespace {

constexpr int kWidth = 40;
constexpr int kHeight = 30;

using PictureSavingTest = PicturesTest::Saving;

}  // namespace

TEST(PictureName, PutsTheRegionNumberInFrontOfTheTime)
{
    const QDateTime when(QDate(2024, 5, 6), QTime(14, 3, 59));
    EXPECT_EQ(SaveFialImageThread::pictureName(when, 0), "2024-05-06_14.03.59");
    EXPECT_EQ(SaveFialImageThread::pictureName(when, 3), "3_2024-05-06_14.03.59");
}

TEST_F(PictureSavingTest, WritesTheNgPictureAsJpegAndPassesItOn)
{
    handOver(1, 0, qRgb(200, 20, 20), 3);
    startThread();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return savedPictures().size() == 1; }));

    const QString path = TestEnv::workDir() + "/alarmimage/camera1/detect2/NG/3_2024-05-06_14.03.59.jpg";
    const SavedPicture picture = savedPictures().at(0);
    EXPECT_EQ(std::make_tuple(picture.camera, picture.step, picture.result, picture.path),
              std::make_tuple(0, 1, false, path));
    QImage written;
    ASSERT_TRUE(written.load(path, "JPEG"));
    EXPECT_EQ(written.size(), QSize(kWidth, kHeight));
    EXPECT_GT(qRed(written.pixel(10, 10)), 150);
    EXPECT_LT(qGreen(written.pixel(10, 10)), 80);
    EXPECT_FALSE(flagged(1, 0));
    EXPECT_TRUE(TestEnv::waitUntil([&] {
        QMutexLocker lock(pMutexSaveFail);
        return gFailIndex[0][1] == 0;
    }));
}

TEST_F(PictureSavingTest, KeepsEachFolderWithinItsLimit)
{
    const QString folder = TestEnv::workDir() + "/alarmimage/camera1/detect1/NG";
    const QStringList old{"a.jpg", "b.jpg", "c.jpg", "d.jpg"};
    for (int i = 0; i < old.size(); ++i) {
        TestEnv::writeText(folder + "/" + old.at(i), "x");
        QFile file(folder + "/" + old.at(i));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.setFileTime(QDateTime::currentDateTime().addSecs(-100 + i * 10), QFileDevice::FileModificationTime);
    }
    TestEnv::writeText(folder + "/notes.txt", "kept");
    // The newest "*.jpg" entry is a folder: it takes a place like a picture.
    ASSERT_TRUE(QDir().mkpath(folder + "/e.jpg"));

    gPicNumNG = 2;
    handOver(0, 0, qRgb(0, 0, 255));
    startThread();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return savedPictures().size() == 1; }));
    EXPECT_EQ(jpegs(folder), QStringList{"2024-05-06_14.03.59.jpg"});
    EXPECT_TRUE(QFileInfo(folder + "/e.jpg").isDir());
    EXPECT_TRUE(QFile::exists(folder + "/notes.txt"));

    // A limit below 1 keeps only the newest picture; the empty folder goes too.
    gPicNumNG = 0;
    AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(14, 4, 30)));
    handOver(0, 0, qRgb(0, 0, 255));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return savedPictures().size() == 2; }));
    EXPECT_EQ(jpegs(folder), QStringList{"2024-05-06_14.04.30.jpg"});
    EXPECT_FALSE(QFileInfo::exists(folder + "/e.jpg"));
}

TEST_F(PictureSavingTest, APairGoesIntoTheNgFolderAndAnOkPictureAloneIntoTheOkFolder)
{
    handOver(0, 0, qRgb(255, 0, 0), 2);
    handOver(0, 1, qRgb(0, 255, 0));
    // An OK picture alone leaves a recorded region number alone.
    handOver(1, 1, qRgb(0, 255, 0));
    {
        QMutexLocker lock(pMutexSaveFail);
        gFailIndex[0][1] = 4;
    }
    startThread();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return savedPictures().size() == 3; }));
    thread->stop();

    const std::vector<SavedPicture> pictures = savedPictures();
    const QString ngFolder = TestEnv::workDir() + "/alarmimage/camera1/detect1/NG/";
    EXPECT_EQ(pictures.at(0).path.toStdString(), (ngFolder + "2_2024-05-06_14.03.59.jpg").toStdString());
    EXPECT_FALSE(pictures.at(0).result);
    EXPECT_TRUE(pictures.at(1).path.startsWith(ngFolder));
    EXPECT_TRUE(pictures.at(1).result);
    // The clock has moved on by now: the time part may have changed.
    EXPECT_TRUE(pictures.at(2).path.startsWith(TestEnv::workDir() + "/alarmimage/camera1/detect2/OK/4_2024-05-06_14.0"))
        << pictures.at(2).path.toStdString();
    EXPECT_TRUE(pictures.at(2).result);
    QMutexLocker lock(pMutexSaveFail);
    EXPECT_EQ(gFailIndex[0][0], 0);
    EXPECT_EQ(gFailIndex[0][1], 4);
}

TEST_F(PictureSavingTest, IgnoresStepsBeyondThoseInUseAndPicturesOfTheWrongSize)
{
    gDNum = 1;
    handOver(1, 0, qRgb(255, 0, 0));
    // The camera view now makes bigger pictures than the hand-over buffers hold.
    targets.imageSize = [](int) { return QSize(kWidth * 2, kHeight); };
    handOver(0, 0, qRgb(255, 0, 0));
    startThread();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !flagged(0, 0); }));
    thread->stop();

    EXPECT_TRUE(savedPictures().empty());
    EXPECT_TRUE(jpegs("alarmimage/camera1/detect1/NG").isEmpty());
    EXPECT_TRUE(flagged(1, 0));
}

TEST_F(PictureSavingTest, StopsWhenAsked)
{
    startThread();
    ASSERT_TRUE(thread->isRunning());
    thread->stop();
    EXPECT_TRUE(thread->isFinished());
}

// A picture on the disk that is empty or cut short (by a full disk or a power cut while it was
// written) is answered as missing, never as a broken image/jpeg.
TEST_F(PictureSavingTest, TheLookupAnswersOnlyWholePictures)
{
    handOver(1, 0, qRgb(200, 20, 20), 3);
    startThread();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return savedPictures().size() == 1; }, 30000));
    thread->stop();
    const QString name = QFileInfo(savedPictures().at(0).path).fileName();
    const QByteArray whole = TestEnv::readBytes(savedPictures().at(0).path);
    ASSERT_GT(whole.size(), 100);

    const auto lookup = [](bool ok, const QString& picture) {
        QJsonObject error;
        const QString path = HttpApiReplies::detectedPicturePath({0, 1, ok, picture}, &error);
        return (path.isEmpty() ? error.value("errorstring").toString() : path).toStdString();
    };
    const std::string wholePath = ("./alarmimage/camera1/detect2/NG/" + name).toStdString();
    EXPECT_EQ(lookup(false, name), wholePath);

    const QString ngFolder = folder(1, 0) + "/";
    const QByteArray cuts[] = {QByteArray(), whole.left(whole.size() / 2), whole.left(whole.size() - 1),
                               QByteArray("\xFF\xD8\xFF\xD9", 4), whole.left(20) + whole.right(2)};
    for (const QByteArray& cut : cuts) {
        SCOPED_TRACE(cut.size());
        TestEnv::writeText(ngFolder + "cut.jpg", cut);
        EXPECT_EQ(lookup(false, "cut.jpg"), "未查询到图片");
    }
    // Listed as OK: a cut file in the OK folder does not hide the whole one saved with its NG picture.
    TestEnv::writeText(folder(1, 1) + "/" + name, whole.left(whole.size() / 2));
    EXPECT_EQ(lookup(true, name), wholePath);
}

// The simulated detection cycle hands an NG picture over; the thread with the main window's
// folders writes it where the HTTP query and the USB copier expect it.
TEST(PictureSavingWithTheMainWindow, NgPicturesOfTheSimulatedCycleLandInTheirFolder)
{
    qputenv("MOULD_SIM_CYCLE_MS", "3600000");
    qputenv("MOULD_SIM_NG_EVERY", "1");
    qputenv("MOULD_SIM_CAMERAS", "1");
    ASSERT_TRUE(TestEnv::setParameter("detectNum", "1"));
    auto window = std::make_unique<MoJuWizard>(nullptr, 0);
    ASSERT_EQ(gDNum, 1);
    // The main window runs its own picture thread.
    ASSERT_NE(gpSaveFialImageThread, nullptr);
    window->Run();

    const QString folder = TestEnv::workDir() + "/alarmimage/camera1/detect1/NG";
    QImage written;
    QString name;
    ASSERT_TRUE(TestEnv::waitUntil([&] {
        const QStringList names = jpegs(folder);
        name = names.value(0);
        return !name.isEmpty() && written.load(folder + "/" + name, "JPEG");
    }));
    EXPECT_TRUE(name.startsWith("1_")) << name.toStdString();
    EXPECT_EQ(written.size(), QSize(window->cameraViews.at(0)->imageWidth, window->cameraViews.at(0)->imageHeight));
    window.reset();
    Copy2MoveDisk::destroyInstance();
    qunsetenv("MOULD_SIM_NG_EVERY");
}

// A picture limit below 0 in PARAM.db would stop every NG picture without a word: it is warned
// about by its key, and the pictures are kept under the default limit.
TEST(PictureSavingWithTheMainWindow, AnUnusableLimitInTheParametersKeepsNgPicturesUnderTheDefault)
{
    TestEnv::EnvGuard cycle("MOULD_SIM_CYCLE_MS", "3600000");
    TestEnv::EnvGuard ngEvery("MOULD_SIM_NG_EVERY", "1");
    TestEnv::EnvGuard cameras("MOULD_SIM_CAMERAS", "1");
    ASSERT_TRUE(TestEnv::setParameter("detectNum", "1"));
    ASSERT_TRUE(TestEnv::setParameter("picNumNG", "-7"));
    const QString folder = TestEnv::workDir() + "/alarmimage/camera1/detect1/NG";
    const QStringList older{"a.jpg", "b.jpg", "c.jpg"};
    for (const QString& name : older)
        TestEnv::writeText(folder + "/" + name, "an older picture");

    NetTest::LogCapture log;
    auto window = std::make_unique<MoJuWizard>(nullptr, 0);
    EXPECT_EQ(log.lines(QtWarningMsg).filter("parameter picNumNG ").size(), 1);
    EXPECT_EQ(gPicNumNG, WizardPara().picNumNG);
    window->Run();

    QImage written;
    EXPECT_TRUE(TestEnv::waitUntil([&] {
        const QStringList names = jpegs(folder);
        const QStringList saved = names.filter(QRegularExpression("^1_"));
        return names.size() == older.size() + 1 && saved.size() == 1 && written.load(folder + "/" + saved.first(), "JPEG");
    })) << jpegs(folder).join(' ').toStdString();
    window.reset();
    Copy2MoveDisk::destroyInstance();
}
