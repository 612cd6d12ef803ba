#include "base/networkjson.h"

#include <QJsonParseError>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace NetworkJson {
namespace {

// An open object or array, and where the names of an object begin in the list of names seen:
// the names of the objects open at any moment lie one after the other in that list, the
// names of closed objects having been taken off again.
struct Frame {
    bool object;
    size_t firstName;
};

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The UTF-16 unit written as four hex digits at the start of text, or -1.
int hexUnit(std::string_view text)
{
    if (text.size() < 4)
        return -1;
    int unit = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexDigit(text[size_t(i)]);
        if (digit < 0)
            return -1;
        unit = unit << 4 | digit;
    }
    return unit;
}

void appendUtf8(std::string& out, uint codePoint)
{
    if (codePoint < 0x80) {
        out += char(codePoint);
    } else if (codePoint < 0x800) {
        out += char(0xC0 | codePoint >> 6);
        out += char(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += char(0xE0 | codePoint >> 12);
        out += char(0x80 | (codePoint >> 6 & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    } else {
        out += char(0xF0 | codePoint >> 18);
        out += char(0x80 | (codePoint >> 12 & 0x3F));
        out += char(0x80 | (codePoint >> 6 & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    }
}

bool isControl(char c)
{
    return uchar(c) < 0x20;
}

// The blanks JSON allows between tokens; any other byte outside strings and the structure
// belongs to a number, true, false or null.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isHighSurrogate(int unit)
{
    return unit >= 0xD800 && unit < 0xDC00;
}

bool isLowSurrogate(int unit)
{
    return unit >= 0xDC00 && unit < 0xE000;
}

// Appends the characters of a name with escapes, written as UTF-8 like the raw bytes of a name
// without them, so that two names come out equal exactly when their characters are. False when
// the name is no valid JSON string. Never writes more than raw.
bool unescape(std::string_view raw, std::string& out)
{
    for (size_t i = 0; i < raw.size();) {
        const char c = raw[i++];
        if (isControl(c))
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i == raw.size())
            return false;
        switch (raw[i++]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            const int unit = hexUnit(raw.substr(i));
            if (unit < 0 || isLowSurrogate(unit))
                return false;
            i += 4;
            uint codePoint = uint(unit);
            if (isHighSurrogate(unit)) {
                const bool escape = raw.size() - i >= 6 && raw[i] == '\\' && raw[i + 1] == 'u';
                const int low = escape ? hexUnit(raw.substr(i + 2)) : -1;
                if (!isLowSurrogate(low))
                    return false;
                codePoint = 0x10000 + (uint(unit - 0xD800) << 10) + uint(low - 0xDC00);
                i += 6;
            }
            appendUtf8(out, codePoint);
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

// A name and a hash of it under a key of this process, so that sorting mostly compares
// numbers.
struct Name {
    quint64 hash;
    std::string_view text;
    bool operator<(const Name& other) const { return hash != other.hash ? hash < other.hash : text < other.text; }
    bool operator==(const Name& other) const { return hash == other.hash && text == other.text; }
};

Name named(std::string_view text)
{
    static const quint64 key = QRandomGenerator::system()->generate64() | 1;
    quint64 hash = key;
    for (const char c : text)
        hash = (hash ^ uchar(c)) * 0x100000001b3ULL;
    return {hash, text};
}

// Sorting rather than a hash table: names made to collide in the hash cost a comparison of
// their text each, never a quadratic search.
bool repeats(std::vector<Name>& names, size_t first, size_t last)
{
    if (last - first < 2)
        return false;
    const auto begin = names.begin() + std::ptrdiff_t(first);
    const auto end = names.begin() + std::ptrdiff_t(last);
    std::sort(begin, end);
    return std::adjacent_find(begin, end) != end;
}

}  // namespace

Names scanNames(const char* data, qsizetype size, const Bounds& bounds, qint64* values)
{
    if (values)
        *values = 0;
    if (size > bounds.maxBytes)
        return Names::TooLarge;
    if (!data || size <= 0)
        return Names::Unique;
    const size_t maxDepth = size_t(qBound(0, bounds.maxDepth, kMaxDepth));
    const char* p = data;
    const char* const end = data + size;
    std::vector<Frame> frames;
    std::vector<Name> names;
    // Escaped names, unescaped. Room for the whole text is made once: no name grows by
    // unescaping, so the string never moves and the views into it stay valid.
    std::string unescaped;
    bool expectName = false;
    // Every value and name Qt would store: brackets and strings, and each run of other bytes
    // that no blank, bracket, comma, colon or string divides (Qt reads at most one value of it).
    qint64 counted = 0;
    bool inRun = false;
    // What Qt would build of it may not pass this.
    const qint64 costBound = bounds.costPerByte > 0 ? bounds.costPerByte * qint64(size) + kCostAllowance
                                                    : std::numeric_limits<qint64>::max();
    qint64 cost = 0;
    const auto count = [&](qint64 weight = kValueCost) {
        cost += weight;
        return ++counted <= bounds.maxValues && cost <= costBound;
    };

    // Where Qt stops (a bracket that closes nothing open, a string or the text that ends) it
    // closes no object still open; those are judged all the same.
    const auto stopped = [&] {
        for (size_t i = 0; i < frames.size(); ++i) {
            const size_t last = i + 1 < frames.size() ? frames[i + 1].firstName : names.size();
            if (frames[i].object && repeats(names, frames[i].firstName, last))
                return Names::Repeated;
        }
        if (values)
            *values = counted;
        return Names::Unique;
    };

    while (p < end) {
        const char c = *p++;
        if (c != '"' && c != '{' && c != '[' && c != '}' && c != ']' && c != ',' && c != ':') {
            if (isBlank(c)) {
                inRun = false;
            } else if (!inRun) {
                inRun = true;
                if (!count())
                    return Names::TooMany;
            }
            continue;
        }
        inRun = false;
        switch (c) {
        case '{':
        case '[':
            if (frames.size() >= maxDepth)
                return Names::TooDeep;
            if (!count(kContainerCost))
                return Names::TooMany;
            frames.push_back({c == '{', names.size()});
            expectName = c == '{';
            break;
        case '}':
        case ']': {
            if (frames.empty() || frames.back().object != (c == '}'))
                return stopped();
            const Frame frame = frames.back();
            if (frame.object && repeats(names, frame.firstName, names.size()))
                return Names::Repeated;
            names.resize(frame.firstName);
            frames.pop_back();
            expectName = false;
            break;
        }
        case ',':
            expectName = !frames.empty() && frames.back().object;
            break;
        case ':':
            expectName = false;
            break;
        case '"': {
            if (!count())
                return Names::TooMany;
            const char* const begin = p;
            // The string ends at the first quote after an even run of backslashes.
            for (;;) {
                const char* const quote = static_cast<const char*>(std::memchr(p, '"', size_t(end - p)));
                if (!quote)
                    return stopped();
                const char* run = quote;
                while (run > begin && run[-1] == '\\')
                    --run;
                p = quote + 1;
                if ((quote - run) % 2 == 0)
                    break;
            }
            const std::string_view raw(begin, size_t(p - 1 - begin));
            if (!expectName)
                break;
            expectName = false;
            if (raw.find('\\') == std::string_view::npos) {
                if (std::any_of(raw.begin(), raw.end(), isControl))
                    return Names::Invalid;
                names.push_back(named(raw));
                break;
            }
            if (unescaped.capacity() < size_t(size))
                unescaped.reserve(size_t(size));
            const char* const arena = unescaped.data();
            const size_t at = unescaped.size();
            if (!unescape(raw, unescaped))
                return Names::Invalid;
            Q_ASSERT(unescaped.data() == arena);
            Q_UNUSED(arena)
            names.push_back(named(std::string_view(unescaped.data() + at, unescaped.size() - at)));
            break;
        }
        default:
            break;
        }
    }
    return stopped();
}

Decoded decode(const QByteArray& text, const Bounds& bounds)
{
    Decoded result;
    result.scanned = scanNames(text.constData(), text.size(), bounds, &result.values);
    switch (result.scanned) {
    case Names::Repeated:
        result.repeatedName = true;
        result.fault = QString::fromLatin1(kRepeatedNameFault);
        return result;
    case Names::Invalid:
        result.fault = QString::fromLatin1(kInvalidNameFault);
        return result;
    case Names::TooDeep:
        result.fault = QString::fromLatin1(kTooDeepFault);
        return result;
    case Names::TooLarge:
        result.fault = QString::fromLatin1(kTooLargeFault);
        return result;
    case Names::TooMany:
        result.fault = QString::fromLatin1(kTooManyFault);
        return result;
    case Names::Unique:
        break;
    }
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (document.isNull() || error.error != QJsonParseError::NoError) {
        result.fault = error.errorString();
        return result;
    }
    result.document = std::move(document);
    return result;
}

}  // namespace NetworkJson
