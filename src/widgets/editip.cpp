#include "widgets/editip.h"

#include "widgets/edit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStringList>
#include <QValidator>

#include <algorithm>

namespace {

// Digits making 0 to 255, nothing else. QIntValidator(0, 255) lets "256" to "999" through as
// "intermediate" (three digits, like 255), and the field would hold them.
class OctetValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString& input, int&) const override
    {
        if (input.isEmpty())
            return Intermediate;
        if (input.size() > 3)
            return Invalid;
        for (const QChar c : qAsConst(input)) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        }
        return input.toInt() <= 255 ? Acceptable : Invalid;
    }
};

}  // namespace

EditIP::EditIP(const QString& title, int style, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    m_title = new QLabel(title, this);
    m_title->setStyleSheet(style == 1 ? QStringLiteral("color:white;font-size:24px;")
                                      : QStringLiteral("color:black;font-size:24px;"));
    layout->addWidget(m_title);
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            layout->addWidget(new QLabel(QStringLiteral("."), this));
        auto* octet = new Edit(Edit::TypeInteger, this, 0);
        octet->setValidator(new OctetValidator(octet));
        octet->setMaxLength(3);
        octet->setAlignment(Qt::AlignCenter);
        octet->setMinimumSize(70, 50);
        // Disabled (an address that does not apply), a field reads as greyed out, not as one to fill.
        octet->setStyleSheet(QStringLiteral("QLineEdit{font-size:24px;background:white;color:black;}"
                                            "QLineEdit:disabled{background:rgb(170,170,170);color:rgb(90,90,90);}"));
        connect(octet, &QLineEdit::textChanged, this, [this] { emit textchange(getAddress()); });
        m_octets[i] = octet;
        layout->addWidget(octet);
    }
}

void EditIP::setAddress(const QString& address)
{
    const QStringList parts = address.split(QLatin1Char('.'));
    for (int i = 0; i < 4; ++i) {
        QString text;
        if (i < parts.size()) {
            bool ok = false;
            const int value = parts.at(i).trimmed().toInt(&ok);
            if (ok && value >= 0 && value <= 255)
                text = QString::number(value);
        }
        // One textchange for the whole address, not one per field.
        const QSignalBlocker blocker(m_octets[i]);
        m_octets[i]->setText(text);
    }
    emit textchange(getAddress());
}

QString EditIP::getAddress() const
{
    QStringList parts;
    for (const Edit* octet : m_octets)
        parts << (octet->text().isEmpty() ? QStringLiteral("0") : octet->text());
    return parts.join(QLatin1Char('.'));
}

bool EditIP::isEmpty() const
{
    return std::all_of(std::begin(m_octets), std::end(m_octets), [](const Edit* octet) { return octet->text().isEmpty(); });
}

bool EditIP::isComplete() const
{
    return std::none_of(std::begin(m_octets), std::end(m_octets), [](const Edit* octet) { return octet->text().isEmpty(); });
}
