// What the scan of network JSON (repeated names, and the count of values the entrances bound)
// costs next to decoding the same text with Qt: four kinds of 1 MB body, the median of a few runs
// of each.
//
//   networkjson_bench [runs]
#include "base/networkjson.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kBodyBytes = 1024 * 1024;

// Appends pieces made by next(i) between open and close, comma-separated, up to about 1 MB.
QByteArray body(const char* open, const std::function<QByteArray(int)>& next, const char* close)
{
    QByteArray text(open);
    for (int i = 0; text.size() < kBodyBytes; ++i)
        text += (i ? "," : "") + next(i);
    return text + close;
}

double medianMs(int runs, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = std::max(1, argc > 1 ? atoi(argv[1]) : 15);
    const struct {
        const char* name;
        QByteArray text;
    } bodies[] = {
        {"subscriber list (many small objects)", body(R"({"subscriber":[)", [](int i) {
             return R"({"subscriber_ip":"192.0.2.)" + QByteArray::number(i % 250) +
                    R"(","subscriber_port":)" + QByteArray::number(9000 + i) + R"(,"subscriber_topic":"detected_info"})";
         }, "]}")},
        {"one object of distinct names", body("{", [](int i) { return "\"k" + QByteArray::number(i) + "\":1"; }, "}")},
        {"one object of escaped names", body("{", [](int i) { return "\"\\u006b" + QByteArray::number(i) + "\":1"; }, "}")},
        {"one long string value", R"({"a":")" + QByteArray(kBodyBytes, 'x') + R"("})"},
    };
    std::printf("%-40s %10s %12s %12s %8s\n", "body", "bytes", "scan ms", "decode ms", "scan %");
    for (const auto& b : bodies) {
        qint64 values = 0;
        if (NetworkJson::scanNames(b.text.constData(), b.text.size(), NetworkJson::kReaderBounds, &values) !=
                    NetworkJson::Names::Unique ||
            QJsonDocument::fromJson(b.text).isNull()) {
            std::fprintf(stderr, "%s: not a decodable body\n", b.name);
            return 1;
        }
        // Bounds that just take the body, so the scan counts to its end as an entrance's does.
        const NetworkJson::Bounds bounds{b.text.size(), NetworkJson::kMaxDepth, values};
        volatile int sink = 0;
        const double scan = medianMs(runs, [&] {
            sink = sink + int(NetworkJson::scanNames(b.text.constData(), b.text.size(), bounds));
        });
        const double decode = medianMs(runs, [&] { sink = sink + int(QJsonDocument::fromJson(b.text).isNull()); });
        std::printf("%-40s %10d %12.2f %12.2f %7.0f%%\n", b.name, b.text.size(), scan, decode, 100.0 * scan / decode);
    }
    return 0;
}
