// libFuzzer harness: the repeated-name scan of network JSON against Qt's own reader. Every text
// the scan lets through must come out of Qt with as many members as it writes; one that does
// not is a name Qt merged behind the scan's back (and, with an array or object for a value, the
// memory Qt keeps for good), and stops the run. So does a text of which Qt builds more values
// than the scan counted: the entrances' bounds on values would not hold for it.
//
// Each input is tried twice: as a text of its own (its members counted by its colons), and as
// the choices of the generator that spells a few names every way JSON and Qt read them, which
// meets the merges far more often than bytes at random do.
#include "base/jsonspelling.h"
#include "base/networkjson.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(const QByteArray& text, int written)
{
    qint64 counted = 0;
    if (NetworkJson::scanNames(text.constData(), text.size(), NetworkJson::kReaderBounds, &counted) !=
        NetworkJson::Names::Unique)
        return;   // Qt never reads it
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return;
    const QJsonValue top = document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    const int kept = JsonSpelling::membersIn(top);
    if (kept != written) {
        std::fprintf(stderr, "the scan let through a text of %d members of which Qt kept %d: %s\n", written, kept,
                     text.toPercentEncoding().constData());
        std::abort();
    }
    const qint64 built = JsonSpelling::valuesIn(top);
    if (built > counted) {
        std::fprintf(stderr, "the scan counted %lld values in a text of which Qt built %lld: %s\n",
                     static_cast<long long>(counted), static_cast<long long>(built), text.toPercentEncoding().constData());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    // Qt reads only what it accepts as JSON, whose colons outside strings are its members.
    check(text, JsonSpelling::colonsIn(text));

    size_t at = 0;
    const JsonSpelling::Choose choose = [&](uint bound) { return at < size ? uint(data[at++]) % bound : 0u; };
    int members = 0;
    const QByteArray spelled = JsonSpelling::objects(choose, &members);
    check(spelled, members);
    return 0;
}
