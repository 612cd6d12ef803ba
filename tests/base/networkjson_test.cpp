#include "base/networkjson.h"
#include "jsonspelling.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <gtest/gtest.h>

using NetworkJson::Names;

namespace {

Names scan(const QByteArray& text)
{
    return NetworkJson::scanNames(text.constData(), text.size());
}

// A text with its NUL bytes written as '~'.
QByteArray withNuls(const char* text)
{
    return QByteArray(text).replace('~', QByteArray(1, '\0'));
}

// Qt's own object: fewer members than the text writes when Qt merged names.
int qtMembers(const QByteArray& text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text.toPercentEncoding().constData();
    return document.object().size();
}

}  // namespace

// Names count as Qt counts them: Qt's own object (values here are scalars, which Qt drops
// without harm) keeps one member less for every name the scan must find repeated.
TEST(NetworkJson, NamesAreEqualWhenQtTakesThemForEqual)
{
    const struct {
        const char* text;
        int members;
    } cases[] = {
        {R"({"a":1,"b":2})", 2},
        {R"({"a":1,"a":2})", 2},
        {"{\"\\u00e9\":1,\"\xc3\xa9\":2}", 2},                    // escaped and plain
        {R"({"\u00E9":1,"\u00e9":2})", 2},                       // hex digits in either case
        {"{\"\\ud83d\\ude00\":1,\"\xf0\x9f\x98\x80\":2}", 2},     // a surrogate pair is one character
        {R"({"\ud83d\uDE00":1,"\uD83D\ude00":2})", 2},
        {"{\"\\ufffd\":1,\"\xef\xbf\xbd\":2}", 2},
        {R"({"\/":1,"/":2})", 2},
        {R"({"\"":1,"\u0022":2})", 2},
        {R"({"a\u0000":1,"a":2})", 2},
        {R"({"a\u0000b":1,"a\u0000c":2})", 2},
        {R"({"\n":1,"n":2})", 2},
        {R"({"\n":1,"\u000A":2})", 2},
        {R"({"a":"a","b":"a","c":"\"a\":1,\"a\":"})", 3},          // values are no names
    };
    for (const auto& c : cases) {
        const QByteArray text(c.text);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << c.text;
        const bool repeated = document.object().size() < c.members;
        EXPECT_EQ(scan(text), repeated ? Names::Repeated : Names::Unique) << c.text;
    }
}

// Qt takes some names that differ for one: an unpaired surrogate escaped and U+FFFD, names of
// one length that differ after a raw NUL, a backslash before a high byte and the surrogates it
// turns into. No such name is valid JSON: the scan refuses them all, and values stay Qt's.
TEST(NetworkJson, NamesQtWouldConfuseAreRefusedAsInvalid)
{
    for (const QByteArray& merged : {QByteArray("{\"\\ud800\":1,\"\xef\xbf\xbd\":2}"),
                                     QByteArray("{\"\\udc00\":1,\"\xef\xbf\xbd\":2}"),
                                     withNuls(R"({"a~b":1,"a~c":2})"),
                                     QByteArray("{\"\\\xc3" "a\":1,\"\\ud7bf\\udfc3a\":2}")}) {
        SCOPED_TRACE(merged.toPercentEncoding().constData());
        EXPECT_EQ(qtMembers(merged), 1);
        EXPECT_EQ(scan(merged), Names::Invalid);
        const NetworkJson::Decoded decoded = NetworkJson::decode(merged, NetworkJson::kReaderBounds);
        EXPECT_FALSE(decoded.ok());
        EXPECT_FALSE(decoded.repeatedName);
        EXPECT_EQ(decoded.fault, NetworkJson::kInvalidNameFault);
        EXPECT_TRUE(decoded.document.isNull());
    }
    for (const QByteArray& invalid :
         {QByteArray(R"({"\x":1})"), QByteArray(R"({"\ud800":1})"), QByteArray(R"({"\uDBFF\u0041":1})"),
          QByteArray(R"({"\ud800\ud800":1})"), QByteArray(R"({"a\udc00":1})"), QByteArray("{\"a\tb\":1}"),
          QByteArray("{\"\\n\x1f\":1}"), QByteArray(R"({"\u00e":1})"), withNuls(R"({"a":{"~":1}})")})
        EXPECT_EQ(scan(invalid), Names::Invalid) << invalid.toPercentEncoding().constData();

    const QByteArray values = withNuls("{\"a\":\"\\x\\ud800\t~\\\xc3\",\"b\":[\"\\udc00\"]}");
    EXPECT_EQ(scan(values), Names::Unique);
    EXPECT_TRUE(NetworkJson::decode(values, NetworkJson::kReaderBounds).ok());
}

// Names in every spelling, many of them one name spelled twice: wherever the scan lets a text
// through, Qt's document keeps every member the text writes.
TEST(NetworkJson, GeneratedNamesNeverHideARepeatFromQt)
{
    QRandomGenerator random(20260126);
    const JsonSpelling::Choose choose = [&random](uint bound) { return random.bounded(bound); };
    int passed = 0;
    int repeatedMerged = 0;
    int invalidMerged = 0;
    for (int i = 0; i < 150000; ++i) {
        int members = 0;
        const QByteArray text = JsonSpelling::objects(choose, &members);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        if (error.error != QJsonParseError::NoError)
            continue;
        const int kept = JsonSpelling::membersIn(document.array());
        qint64 values = 0;
        switch (NetworkJson::scanNames(text.constData(), text.size(), NetworkJson::kReaderBounds, &values)) {
        case Names::Unique:
            ASSERT_EQ(kept, members) << text.toPercentEncoding().constData();
            // The count the bounds hold to is what Qt builds.
            ASSERT_EQ(values, JsonSpelling::valuesIn(document.array())) << text.toPercentEncoding().constData();
            ++passed;
            break;
        case Names::Repeated:
            repeatedMerged += kept < members;
            break;
        case Names::Invalid:
            invalidMerged += kept < members;
            break;
        case Names::TooDeep:
        case Names::TooLarge:
        case Names::TooMany:
            ADD_FAILURE() << text.toPercentEncoding().constData();
            break;
        }
    }
    // Each way through is taken often enough to mean something.
    EXPECT_GT(passed, 5000);
    EXPECT_GT(repeatedMerged, 20000);
    EXPECT_GT(invalidMerged, 40000);
}

TEST(NetworkJson, EachObjectIsJudgedOnItsOwnHoweverDeep)
{
    for (const char* unique : {R"({"a":{"a":1}})", R"([{"a":1},{"a":2}])", R"({"a":{"b":1},"c":{"b":2}})",
                               R"({"a":1,"b":[1,{"a":2}],"c":{"a":3}})", R"({"a":"}","b":"{\"a\":1"})", "[]", "",
                               "not json at all"})
        EXPECT_EQ(scan(unique), Names::Unique) << unique;
    for (const char* repeated : {R"({"a":[{"b":1,"c":{"d":[],"d":[]}}]})", R"({"a":1,"b":{"c":1},"a":2})",
                                 R"({"a":[],"b":[{"a":1}],"a":[]})",
                                 R"({"a":1} {"b":{},"b":{}})",   // Qt decodes the first, then refuses
                                 R"({"a":[],"a":[])"})          // never closed
        EXPECT_EQ(scan(repeated), Names::Repeated) << repeated;

    // Nesting Qt takes is scanned; one level more is refused without decoding.
    const QByteArray deepest = QByteArray(NetworkJson::kMaxDepth, '[') + QByteArray(NetworkJson::kMaxDepth, ']');
    EXPECT_EQ(scan(deepest), Names::Unique);
    EXPECT_TRUE(NetworkJson::decode(deepest, NetworkJson::kReaderBounds).ok());
    const NetworkJson::Decoded tooDeep = NetworkJson::decode("[" + deepest + "]", NetworkJson::kReaderBounds);
    EXPECT_TRUE(tooDeep.document.isNull());
    EXPECT_EQ(tooDeep.scanned, Names::TooDeep);
}

TEST(NetworkJson, ScansOnlyTheBytesItIsGiven)
{
    // The bytes after the given ones would close a second "a".
    const QByteArray text = R"({"a":1,"a":2})";
    EXPECT_EQ(NetworkJson::scanNames(text.constData(), 9), Names::Unique);
    EXPECT_EQ(NetworkJson::scanNames(text.constData(), 10), Names::Repeated);
    const QByteArray escape = R"({"a":1,"\)";
    EXPECT_EQ(NetworkJson::scanNames(escape.constData(), escape.size()), Names::Unique);
}

TEST(NetworkJson, DecodesOnlyWhatRepeatsNoName)
{
    const NetworkJson::Decoded good = NetworkJson::decode(R"({"a":[1],"b":{"a":2}})", NetworkJson::kReaderBounds);
    EXPECT_TRUE(good.ok());
    EXPECT_EQ(good.document.object().value("a").toArray(), QJsonArray({1}));

    const NetworkJson::Decoded repeated = NetworkJson::decode(R"({"a":[1],"a":[2]})", NetworkJson::kReaderBounds);
    EXPECT_TRUE(repeated.repeatedName);
    EXPECT_EQ(repeated.fault, "duplicate key");
    EXPECT_TRUE(repeated.document.isNull());

    const NetworkJson::Decoded broken = NetworkJson::decode("{", NetworkJson::kReaderBounds);
    EXPECT_FALSE(broken.ok());
    EXPECT_FALSE(broken.repeatedName);
    EXPECT_TRUE(broken.document.isNull());
}

// Every value Qt would store counts, names and brackets included, blanks not; a text beyond
// any bound is refused by the scan alone, though Qt would take it.
TEST(NetworkJson, ATextBeyondItsBoundsNeverReachesQt)
{
    const QByteArray compact = R"({"a":[1,true,null,"s\"]",-2.5e3],"b":{}})";
    const QByteArray spaced = " {\t\"a\" :\r\n[ 1 , true,null , \"s\\\"]\" ,-2.5e3 ] , \"b\":{ } } ";
    for (const QByteArray& text : {compact, spaced}) {
        SCOPED_TRACE(text.constData());
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError);
        ASSERT_EQ(JsonSpelling::valuesIn(document.object()), 10);
        qint64 values = 0;
        EXPECT_EQ(NetworkJson::scanNames(text.constData(), text.size(), {text.size(), 2, 10}, &values), Names::Unique);
        EXPECT_EQ(values, 10);
        EXPECT_EQ(NetworkJson::scanNames(text.constData(), text.size(), {text.size(), 2, 9}), Names::TooMany);
        EXPECT_EQ(NetworkJson::scanNames(text.constData(), text.size(), {text.size(), 1, 10}), Names::TooDeep);
        EXPECT_EQ(NetworkJson::scanNames(text.constData(), text.size(), {text.size() - 1, 2, 10}), Names::TooLarge);
    }

    // A run of bytes Qt reads as one value at most counts once, so no spelling slips past.
    EXPECT_EQ(NetworkJson::scanNames("[1,2,3]", 7, {7, 1, 3}), Names::TooMany);
    EXPECT_EQ(NetworkJson::scanNames("[123456]", 8, {8, 1, 2}), Names::Unique);
    EXPECT_EQ(NetworkJson::scanNames("[1 2]", 5, {5, 1, 2}), Names::TooMany);   // Qt refuses it anyway

    // What the decode says, and that Qt never saw the text: its own reader would take it.
    const QByteArray nested = QByteArray(100, '[') + QByteArray(100, ']');
    const QByteArray many = "[" + QByteArray("0,").repeated(5000) + "0]";
    for (const QByteArray& text : {nested, many})
        EXPECT_TRUE(NetworkJson::decode(text, NetworkJson::kReaderBounds).ok());
    const struct {
        QByteArray text;
        NetworkJson::Bounds bounds;
        Names scanned;
        const char* fault;
    } refused[] = {
        {nested, {1024, 64, 1000}, Names::TooDeep, NetworkJson::kTooDeepFault},
        {many, {1 << 20, 64, 1000}, Names::TooMany, NetworkJson::kTooManyFault},
        {many, {1000, 64, 1 << 20}, Names::TooLarge, NetworkJson::kTooLargeFault},
    };
    for (const auto& r : refused) {
        const NetworkJson::Decoded decoded = NetworkJson::decode(r.text, r.bounds);
        EXPECT_EQ(decoded.scanned, r.scanned);
        EXPECT_TRUE(decoded.outOfBounds());
        EXPECT_FALSE(decoded.repeatedName);
        EXPECT_EQ(decoded.fault, r.fault);
        EXPECT_TRUE(decoded.document.isNull());
    }
    const NetworkJson::Decoded within = NetworkJson::decode(many, {many.size(), 1, 5002});
    EXPECT_TRUE(within.ok());
    EXPECT_EQ(within.values, 5002);
    EXPECT_EQ(within.document.array().size(), 5001);
}

// Within every other bound, a text Qt would build many times its size of (objects of one member,
// brackets in brackets) is refused beyond the small allowance, while texts of the same size that
// cost Qt a few times their size (strings, a list of records) pass.
TEST(NetworkJson, ATextThatWouldCostQtManyTimesItsSizeIsRefused)
{
    const NetworkJson::Bounds roomy{1 << 20, 16, 1 << 20};
    const auto scanned = [&roomy](const QByteArray& text) {
        return NetworkJson::scanNames(text.constData(), text.size(), roomy);
    };
    const auto listOf = [](const QByteArray& element, int count) {
        QByteArray text = "[" + element.repeated(count);
        text.chop(1);
        return text + "]";
    };
    // The smallest messages cost Qt little whatever they are made of.
    EXPECT_EQ(scanned("{}"), Names::Unique);
    EXPECT_EQ(scanned(listOf("{\"a\":1},", 100)), Names::Unique);
    EXPECT_EQ(scanned(listOf("[[[[[[[[1]]]]]]]],", 40)), Names::Unique);

    for (const QByteArray& costly : {listOf("{\"a\":1},", 2000), listOf("[[[[[[[[1]]]]]]]],", 900)}) {
        EXPECT_EQ(scanned(costly), Names::TooMany) << costly.left(40).constData();
        EXPECT_EQ(NetworkJson::decode(costly, roomy).fault, NetworkJson::kTooManyFault);
        // Qt's own bounds alone take it.
        EXPECT_TRUE(NetworkJson::decode(costly, NetworkJson::kReaderBounds).ok());
    }
    for (const QByteArray& cheap : {listOf("\"a fairly long text of its own\",", 2000), listOf("1,", 20000),
                                    listOf("{\"subscriber_ip\":\"10.0.0.5\",\"subscriber_port\":9000,"
                                           "\"subscriber_topic\":\"detected_info\"},", 2000)})
        EXPECT_EQ(scanned(cheap), Names::Unique) << cheap.left(40).constData();
}
