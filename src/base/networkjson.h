#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

#include <limits>

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
//
// Qt's reader also multiplies what it is given: every value costs it some twenty bytes, every
// array or object about a hundred, so a body of nested brackets costs fifty times its size, and
// the allocator keeps much of it afterwards. So every entrance bounds its network JSON by what
// its largest legitimate message needs (size, nesting, number of values), and the same scan
// refuses a text beyond them before Qt reads a byte of it: what an entrance decodes then costs
// no more than a few times its size bound.
namespace NetworkJson {

enum class Names {
    Unique,     // no object repeats a name (the text may still be no JSON: Qt says so)
    Repeated,   // some object repeats a name, after unescaping ("\u0061" is "a")
    Invalid,    // some name is no valid JSON string, which Qt may take for another name
    TooDeep,    // nested deeper than the bounds (or Qt) take
    TooLarge,   // more bytes than the bounds take
    TooMany,    // more values than the bounds take, or values that would cost Qt too much
};

// The nesting Qt's parser takes; the scan stops one level below.
constexpr int kMaxDepth = 1024;

// What Qt's reader builds of a text, as the scan reckons it: about 160 bytes for an array or an
// object, about 16 for any other value or name (measured on Qt 5.15: an array of numbers costs
// it 8.7 times its text, objects of one member 20 times, brackets nested in brackets 44 times).
// Within any other bounds, a text may cost at most kCostPerByte times its size and
// kCostAllowance besides, so the smallest messages (an empty object) always pass.
constexpr qint64 kContainerCost = 160;
constexpr qint64 kValueCost = 16;
constexpr qint64 kCostPerByte = 8;
constexpr qint64 kCostAllowance = 64 * 1024;

// What one entrance takes. Values are counted as Qt stores them: every array, object, string,
// number, true, false and null, and every name, each costs Qt an element of its own.
struct Bounds {
    qint64 maxBytes;
    int maxDepth;      // levels of arrays and objects; at most kMaxDepth counts
    qint64 maxValues;
    // What Qt may build of a text, in times its size (beyond kCostAllowance); 0 for no bound.
    qint64 costPerByte = kCostPerByte;
};

// Only what Qt's reader refuses by itself: for the scan's comparison with Qt, not for an
// entrance.
constexpr Bounds kReaderBounds{std::numeric_limits<qint64>::max(), kMaxDepth, std::numeric_limits<qint64>::max(), 0};

// What a decode failed for, when an object repeated a name, a name was invalid or the text
// went beyond the bounds. The last three are the ones a peer is told.
constexpr char kRepeatedNameFault[] = "duplicate key";
constexpr char kInvalidNameFault[] = "invalid name";
constexpr char kTooLargeFault[] = "json too large";
constexpr char kTooDeepFault[] = "json too deep";
constexpr char kTooManyFault[] = "too many json values";

// One pass over the text, time linear in its size up to a logarithm of the members of its
// largest object, memory bounded by the size. It follows only strings and the brackets, commas
// and colons outside them, and counts the runs of other bytes between them as values:
// whatever else it passes over leniently, Qt refuses, and Qt frees what it built before such a
// point correctly. Only names are checked for validity: values are never compared, and Qt
// keeps whatever it accepts in them. It stops at the first bound the text goes beyond. values,
// when given, gets the number of values of a text that stays within the bounds. Never reads
// outside [data, data + size).
Names scanNames(const char* data, qsizetype size, const Bounds& bounds = kReaderBounds, qint64* values = nullptr);

struct Decoded {
    QJsonDocument document;   // null unless decoded
    bool repeatedName = false;
    // The scan's verdict: anything but Unique means Qt never read the text.
    Names scanned = Names::Unique;
    qint64 values = 0;        // counted by the scan, when it let the text through
    QString fault;            // one of the faults above, or Qt's error text; empty when decoded
    bool ok() const { return fault.isEmpty(); }
    // Refused for going beyond the bounds (fault then says which one).
    bool outOfBounds() const
    {
        return scanned == Names::TooDeep || scanned == Names::TooLarge || scanned == Names::TooMany;
    }
};

// Scans, then decodes with Qt only a text that repeats no name and stays within the bounds.
Decoded decode(const QByteArray& text, const Bounds& bounds);

}  // namespace NetworkJson
