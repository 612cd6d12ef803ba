#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

// JSON that came from the network. Qt 5.15's parser never frees the value of an object member
// whose name the same object repeats, when that value is an array or an object: ten request
// bodies of a megabyte cost the program some 150 MB for good. So every network text is scanned
// first, and one in which any object names a member twice never reaches QJsonDocument.
//
// "Twice" is what Qt merges, not what the bytes show. Qt compares names kept in two forms: a
// name without escapes as its bytes, where a NUL ends the comparison ("a<NUL>b" is "a<NUL>c");
// a name with escapes as UTF-16, taking an escape it does not know for the byte after the
// backslash (a backslash before a byte of 0x80 or more turns into two units, U+D7BF and an
// unpaired surrogate); and the two forms against each other as code points, where an unpaired
// surrogate is U+FFFD. None of these can occur in a name that is valid JSON, and among valid names Qt's
// equality is equality of their characters: so a name with a raw control character, an escape
// JSON does not define or a surrogate escape without its pair is refused as invalid, and the
// remaining names are compared by their characters.
namespace NetworkJson {

enum class Names {
    Unique,     // no object repeats a name (the text may still be no JSON: Qt says so)
    Repeated,   // some object repeats a name, after unescaping ("\u0061" is "a")
    Invalid,    // some name is no valid JSON string, which Qt may take for another name
    TooDeep,    // nested deeper than Qt takes
};

// The nesting Qt's parser takes; the scan stops one level below.
constexpr int kMaxDepth = 1024;

// What a decode failed for, when an object repeated a name, or a name was invalid.
constexpr char kRepeatedNameFault[] = "duplicate key";
constexpr char kInvalidNameFault[] = "invalid name";

// One pass over the text, time linear in its size up to a logarithm of the members of its
// largest object, memory bounded by the size. It follows only strings and the brackets, commas
// and colons outside them: whatever else it passes over leniently, Qt refuses, and Qt frees
// what it built before such a point correctly. Only names are checked for validity: values
// are never compared, and Qt keeps whatever it accepts in them. Never reads outside
// [data, data + size).
Names scanNames(const char* data, qsizetype size);

struct Decoded {
    QJsonDocument document;   // null unless decoded
    bool repeatedName = false;
    QString fault;            // kRepeatedNameFault, or Qt's error text; empty when decoded
    bool ok() const { return fault.isEmpty(); }
};

// Scans, then decodes with Qt only a text that repeats no name.
Decoded decode(const QByteArray& text);

}  // namespace NetworkJson
