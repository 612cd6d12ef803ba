#include "widgets/editip.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

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
        auto* octet = new QLineEdit(this);
        octet->setValidator(new QIntValidator(0, 255, octet));
        octet->setMaxLength(3);
        octet->setAlignment(Qt::AlignCenter);
        octet->setMinimumSize(70, 40);
        octet->setStyleSheet(QStringLiteral("font-size:24px;background:white;color:black;"));
        connect(octet, &QLineEdit::textEdited, this, [this] { emit textchange(getAddress()); });
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
        m_octets[i]->setText(text);
    }
    emit textchange(getAddress());
}

QString EditIP::getAddress() const
{
    QStringList parts;
    for (const QLineEdit* octet : m_octets)
        parts << (octet->text().isEmpty() ? QStringLiteral("0") : octet->text());
    return parts.join(QLatin1Char('.'));
}
