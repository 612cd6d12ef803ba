#include "base/networkjson.h"

#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

using NetworkJson::Names;

namespace {

Names scan(const QByteArray& text)
{
    return NetworkJson::scanNames(text.constData(), text.size());
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
        {R"({"\ud800":1,"\ud800":2})", 2},                       // so is an unpaired surrogate
        {R"({"\ud800":1,"\udc00":2})", 2},
        {R"({"\ud800A":1,"\ud800\u0041":2})", 2},
        {R"({"\/":1,"/":2})", 2},
        {R"({"\x":1,"x":2})", 2},                                // an unknown escape is its letter
        {R"({"\"":1,"\u0022":2})", 2},
        {R"({"a\u0000":1,"a":2})", 2},
        {R"({"\n":1,"n":2})", 2},
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
