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
        const NetworkJson::Decoded decoded = NetworkJson::decode(merged);
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
    EXPECT_TRUE(NetworkJson::decode(values).ok());
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
        switch (scan(text)) {
        case Names::Unique:
            ASSERT_EQ(kept, members) << text.toPercentEncoding().constData();
            ++passed;
            break;
        case Names::Repeated:
            repeatedMerged += kept < members;
            break;
        case Names::Invalid:
            invalidMerged += kept < members;
            break;
        case Names::TooDeep:
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
    EXPECT_TRUE(NetworkJson::decode(deepest).ok());
    const NetworkJson::Decoded tooDeep = NetworkJson::decode("[" + deepest + "]");
    EXPECT_TRUE(tooDeep.document.isNull());
    EXPECT_EQ(tooDeep.fault, "too deeply nested document");
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
    const NetworkJson::Decoded good = NetworkJson::decode(R"({"a":[1],"b":{"a":2}})");
    EXPECT_TRUE(good.ok());
    EXPECT_EQ(good.document.object().value("a").toArray(), QJsonArray({1}));

    const NetworkJson::Decoded repeated = NetworkJson::decode(R"({"a":[1],"a":[2]})");
    EXPECT_TRUE(repeated.repeatedName);
    EXPECT_EQ(repeated.fault, "duplicate key");
    EXPECT_TRUE(repeated.document.isNull());

    const NetworkJson::Decoded broken = NetworkJson::decode("{");
    EXPECT_FALSE(broken.ok());
    EXPECT_FALSE(broken.repeatedName);
    EXPECT_TRUE(broken.document.isNull());
}
