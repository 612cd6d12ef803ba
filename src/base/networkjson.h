#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

// JSON that came from the network. Qt 5.15's parser never frees the value of an object member
// whose name the same object repeats, when that value is an array or an object: ten request
// bodies of a megabyte cost the program some 150 MB for good. So every network text is scanned
// first, and one in which any object names a member twice never reaches QJsonDocument.
namespace NetworkJson {

enum class Names {
    Unique,     // no object repeats a name (the text may still be no JSON: Qt says so)
    Repeated,   // some object repeats a name, after unescaping ("\u0061" is "a")
    TooDeep,    // nested deeper than Qt takes
};

// The nesting Qt's parser takes; the scan stops one level below.
constexpr int kMaxDepth = 1024;

// What a decode failed for, when an object repeated a name.
constexpr char kRepeatedNameFault[] = "duplicate key";

// One pass over the text, time linear in its size up to a logarithm of the members of its
// largest object, memory bounded by the size. It follows only strings and the brackets, commas
// and colons outside them: whatever else it passes over leniently, Qt refuses, and Qt frees
// what it built before such a point correctly. Never reads outside [data, data + size).
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
