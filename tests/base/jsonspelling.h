#pragma once

// JSON texts whose names are the same few characters spelled every way JSON, or Qt's reader,
// takes them: raw, as \u escapes in either case, as short escapes, surrogate pairs escaped and
// raw, unpaired surrogates, U+FFFD, NUL and other control characters raw and escaped, escapes
// JSON does not have, and a backslash before a byte of 0x80 or more. The names of one object
// come from a pool of two or three, so that one name spelled two ways meets itself often.
// Shared by the scan's differential test and its fuzzer, which draw their choices from a
// seeded generator and from the fuzzer's input.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QVector>

#include <functional>

namespace JsonSpelling {

// Returns a choice in [0, bound).
using Choose = std::function<uint(uint bound)>;

// Each character, as the spellings that give Qt the same UTF-16 units.
inline const QVector<QVector<QByteArray>>& alphabet()
{
    static const QVector<QVector<QByteArray>> characters = {
        {"a", "\\u0061"},
        {"x", "\\u0078", "\\x"},                                     // an escape JSON does not have
        {"\\\"", "\\u0022"},
        {"\\\\", "\\u005c", "\\u005C"},
        {"/", "\\/", "\\u002f", "\\u002F"},
        {"\\n", "\\u000a", "\\u000A", "\n"},                         // raw control character
        {"\\t", "\\u0009", "\t"},
        {QByteArray(1, '\0'), "\\u0000"},                            // NUL
        {"\x1f", "\\u001f", "\\u001F"},
        {"\xc3\xa9", "\\u00e9", "\\u00E9"},
        {"\xef\xbf\xbd", "\\ufffd", "\\uFFFD"},                      // U+FFFD
        {"\xee\x80\x80", "\\ue000", "\\uE000"},
        {"\xed\x9e\xbf", "\\ud7bf", "\\uD7BF"},
        {"\xf0\x90\x80\x80", "\\ud800\\udc00", "\\uD800\\uDC00"},    // surrogate pairs
        {"\xf0\x9f\x98\x80", "\\ud83d\\ude00", "\\uD83D\\uDE00", "\\ud83d\\uDE00"},
        {"\\ud800", "\\uD800"},                                      // unpaired surrogates
        {"\\udfc3", "\\uDFC3"},
        {"\\\xc3", "\\ud7bf\\udfc3", "\xed\x9e\xbf\\udfc3"},         // a backslash before a high byte
        {"\\\xe9", "\\ud7bf\\udfe9"},
    };
    return characters;
}

// One name: up to three characters of the alphabet, as indexes.
inline QVector<int> abstractName(const Choose& choose)
{
    QVector<int> name(int(choose(4)));
    for (int& character : name)
        character = int(choose(uint(alphabet().size())));
    return name;
}

inline QByteArray spelled(const QVector<int>& name, const Choose& choose)
{
    QByteArray text = "\"";
    for (const int character : name) {
        const QVector<QByteArray>& spellings = alphabet().at(character);
        text += spellings.at(int(choose(uint(spellings.size()))));
    }
    return text + "\"";
}

// An array of one to three objects of one to five members each, every value a number (so that
// Qt frees what it merges); members is set to the number of members the text writes.
inline QByteArray objects(const Choose& choose, int* members)
{
    *members = 0;
    QByteArray text = "[";
    const int count = 1 + int(choose(3));
    for (int o = 0; o < count; ++o) {
        QVector<QVector<int>> pool(2 + int(choose(2)));
        for (QVector<int>& name : pool)
            name = abstractName(choose);
        text += o ? ",{" : "{";
        const int size = 1 + int(choose(5));
        for (int m = 0; m < size; ++m)
            text += (m ? "," : "") + spelled(pool.at(int(choose(uint(pool.size())))), choose) + ":" +
                    QByteArray::number(m);
        text += "}";
        *members += size;
    }
    return text + "]";
}

// The members of every object in a document, nested ones included.
inline int membersIn(const QJsonValue& value)
{
    int count = 0;
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        count += object.size();
        for (auto it = object.begin(); it != object.end(); ++it)
            count += membersIn(it.value());
    } else if (value.isArray()) {
        for (const QJsonValue& element : value.toArray())
            count += membersIn(element);
    }
    return count;
}

// What Qt stores for a value: an element for it, and one for every name and value inside it.
inline qint64 valuesIn(const QJsonValue& value)
{
    qint64 count = 1;
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            count += 1 + valuesIn(it.value());
    } else if (value.isArray()) {
        for (const QJsonValue& element : value.toArray())
            count += valuesIn(element);
    }
    return count;
}

// The members a text that Qt accepted writes: the colons outside its strings. A backslash in a
// string takes the byte after it with it, as Qt's reader does.
inline int colonsIn(const QByteArray& text)
{
    int count = 0;
    bool inString = false;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == ':') {
            ++count;
        }
    }
    return count;
}

}  // namespace JsonSpelling
