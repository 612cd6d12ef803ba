#include "widgets/publictools_widget.h"

#include "base/lanstr.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

WarnBox* gpWarnBox = nullptr;

WarnBox::WarnBox(QWidget* parent) : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog)
{
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    m_text = new QLabel(this);
    m_text->setAlignment(Qt::AlignCenter);
    m_text->setWordWrap(true);
    layout->addWidget(m_text);
    auto* confirm = new QPushButton(lanText(121), this);
    confirm->setMinimumHeight(50);
    layout->addWidget(confirm);
    connect(confirm, &QPushButton::clicked, this, &QDialog::accept);
    resize(500, 260);
}

void WarnBox::setText(const QString& text)
{
    m_text->setText(text);
}

QString WarnBox::text() const
{
    return m_text->text();
}
